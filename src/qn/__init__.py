"""The discovery-and-migration tool for Azure virtual networks."""
