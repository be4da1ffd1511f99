"""The project's benchmarks: run them with scripts/bench (see docs/benchmarks.md)."""
