"""Stand-in for the host package's configuration module (tests and the demo only)."""

import os
from pathlib import Path

CONFIG_DIR = Path(os.environ.get("ZANTOR_CONFIG_DIR") or Path.home() / ".config" / "zantor")
