"""Runtime core for connector frameworks.

Submodules are imported on demand; nothing native is loaded here so that the
package stays importable while extension modules are being built.
"""

__version__ = "0.1.0"
