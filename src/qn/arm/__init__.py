"""Azure (ARM) side of the tool."""
