import os
import sys

# Development runs (PYTHONPATH=src) and installed runs both import the package by name.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
