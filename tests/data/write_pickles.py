"""Writes pickles_before_snapshots.bin: maps pickled by a build from before
maps were pickled as snapshots, which every later build must still load.

    python tests/data/write_pickles.py    (with that build installed)

The file is a pickle of {name: (pickled map, its class, its attributes, its
entries)}, for a map and two subclasses of it, by every protocol.
"""

import pickle
import sys
from pathlib import Path

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE.parent))

from test_packaging import ENTRIES, Named, SlottedVornic  # noqa: E402

import vornic  # noqa: E402


def maps():
    yield "Vornic", vornic.Vornic(ENTRIES[1]), {}
    yield "Vornic-empty", vornic.Vornic(), {}
    named = Named("n", ENTRIES[1])
    yield "Named", named, {"name": "n", "log": ["n"]}
    slotted = SlottedVornic({"k": ["x"]})
    slotted.log = ["log"]
    yield "SlottedVornic", slotted, {"log": ["log"]}


def main():
    out = {}
    for name, m, attributes in maps():
        entries = ENTRIES[1] if len(m) > 1 else {k: set(v) for k, v in m.items()}
        for protocol in range(6):
            out[f"{name}-{protocol}"] = (pickle.dumps(m, protocol), type(m).__name__, attributes, entries)
    (HERE / "pickles_before_snapshots.bin").write_bytes(pickle.dumps(out, 4))


if __name__ == "__main__":
    main()
