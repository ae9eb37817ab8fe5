"""Quillon CI/CD security agent.

The platform client lives in the compiled submodule ``platform_client``; it is
imported only where a command needs it, so the configuration, the command-line
help and the simulator work before the extension has been built.
"""

__version__ = "0.1.0"
