"""What the loopback emulators (armsim, ctrlsim) share: their HTTPS server on a thread, the
serve loop of their commands, the reading of their topology files and their tables of
durations."""
