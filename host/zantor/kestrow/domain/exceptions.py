"""Stand-in for the host package's domain exceptions (tests and the demo only)."""


class KestrowError(Exception):
    """Base of the host's Kestrow errors."""


class InvalidCollectOptionError(KestrowError):
    """A command option or stored account is not usable."""


class KestrowDependencyError(KestrowError):
    """A library the command needs is missing or unusable."""
