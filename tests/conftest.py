import os
import sys

# quarn_probe is built beside the engine's tests (build/ by default); it
# reaches the conversions directly. The package itself comes from the install.
_probe_dir = os.environ.get("QUARN_PROBE_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
sys.path.insert(0, os.path.abspath(_probe_dir))
sys.path.insert(0, os.path.dirname(__file__))
