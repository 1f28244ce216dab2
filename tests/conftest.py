import os
import sys

# quarn_probe is built beside the engine's tests (build/ by default); it
# reaches the conversions directly. The package itself comes from the install.
_probe_dir = os.environ.get("QUARN_PROBE_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
sys.path.insert(0, os.path.abspath(_probe_dir))
sys.path.insert(0, os.path.dirname(__file__))

# One hash key for the whole run, so that an order that depends on it can be
# replayed: QUARN_HASH_SEED=<key> python3 -m pytest ... The extension reads it
# when its first hash map is made, after this file has run.
if not os.environ.get("QUARN_HASH_SEED"):
    os.environ["QUARN_HASH_SEED"] = str(int.from_bytes(os.urandom(8), "little"))


def pytest_report_header(config):
    return f"quarn hash seed: QUARN_HASH_SEED={os.environ['QUARN_HASH_SEED']}"
