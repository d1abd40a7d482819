"""A mod drawn from a set of textures (make_real_set.py, make_game_set.py): COUNT textures of at
least MIN_BYTES bytes (0: the set's own spread), each with a modded texture of the same size, its
data with every bit inverted."""
import os
import random
import shutil
import subprocess


def make_mod(set_dir, count, min_bytes, dyeloom):
    """Writes the mod's orig/ and mod/ folders under /tmp and returns the folder and the names
    kept: textures a first install reports as stored twice or inside one another are left out."""
    archive = os.path.join(set_dir, "archive.asf")
    sizes = {}
    with open(os.path.join(set_dir, "index.tsv")) as index:
        for line in index:
            _, size, path = line.rstrip("\n").split("\t")
            sizes[path] = int(size)
    # A tenth more than wanted, so that textures the set stores twice, or inside one another, or
    # that an earlier run left modded, can be left out: a run reports them as conflicts or not
    # found.
    chosen = random.Random(count * 7 + min_bytes).sample(
        sorted(p for p, s in sizes.items() if s >= min_bytes), count + count // 10 + 5)
    work = os.path.join("/tmp", f"mod-{os.path.basename(set_dir.rstrip('/'))}-{count}-{min_bytes}")
    shutil.rmtree(work, ignore_errors=True)
    for folder in ("orig", "mod"):
        os.makedirs(os.path.join(work, folder))
    names = []
    for path in chosen:
        name = os.path.basename(path)
        names.append(name)
        shutil.copy(path, os.path.join(work, "orig", name))
        with open(path, "rb") as f:
            data = f.read()
        with open(os.path.join(work, "mod", name), "wb") as f:
            f.write(data[:128] + bytes(255 - b for b in data[128:]))
    orig, mod = os.path.join(work, "orig"), os.path.join(work, "mod")
    unfit = set()
    for _ in range(2):  # until a first install replaces every texture kept
        out = subprocess.run([dyeloom, archive, orig, mod, "128"], capture_output=True).stdout
        subprocess.run([dyeloom, archive, mod, orig, "128"], capture_output=True)
        unfit |= {line.split(":")[1].strip() for line in out.decode().splitlines()
                  if not line.startswith("replaced:") and ":" in line}
    kept = [n for n in names if n not in unfit][:count]
    for name in set(names) - set(kept):
        for folder in (orig, mod):
            os.remove(os.path.join(folder, name))
    names = kept
    return work, names
