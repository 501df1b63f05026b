"""Quick start: how far apart are the models of an NMR ensemble?

Reads the C-alpha trace of every model of ubiquitin's NMR ensemble 1D3Z (shipped by the Debian
package freesasa) and prints the RMSD of the first model to the nearest of the others, after
optimal superposition.
"""

import sys
from pathlib import Path

import vexa_stats

PDB = Path("/usr/share/freesasa/test-data/1d3z.pdb")


def ca_models(path):
    """One list of [x, y, z] per MODEL record, C-alpha atoms only."""
    models, current = [], []
    for line in path.read_text().splitlines():
        if line.startswith("ATOM") and line[12:16].strip() == "CA":
            current.append([float(line[30:38]), float(line[38:46]), float(line[46:54])])
        elif line.startswith("ENDMDL"):
            models.append(current)
            current = []
    return models or [current]


def main():
    if not PDB.exists():
        sys.exit(f"{PDB} not found: install the Debian package freesasa (scripts/setup.sh does)")
    first, *others = ca_models(PDB)
    print(f"1D3Z: {1 + len(others)} models of {len(first)} residues")
    print(f"RMSD of model 1 to the nearest other model: {vexa_stats.rmsd(first, others):.3f} A")
    print(f"RMSD of model 1 to itself: {vexa_stats.rmsd(first, [first]):.3g} A")


if __name__ == "__main__":
    main()
