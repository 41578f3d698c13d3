"""Demo connector package for the Acme order service."""
