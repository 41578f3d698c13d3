"""Execution policy hooks."""
