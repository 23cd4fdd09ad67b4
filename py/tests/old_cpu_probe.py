"""Run by test_old_cpu.py, natively and under an emulated CPU: imports every
extension module of the installed distribution, builds indexes and a
collection from fixed data and prints every search result with its distance's
exact bits, so two runs can be compared byte for byte. The first line says
whether AVX2 and AVX-512F are usable (cpuid and xgetbv), which the comparison
skips.
Pure Python apart from the modules under test."""

import ctypes
import importlib
import importlib.metadata
import mmap
import os
import sys
import tempfile

import _varnel

# Machine code of three uint32 f(uint32 a, uint32 b) helpers: cpuid(a, b)
# giving ebx or ecx, and xgetbv(a) giving the low half.
_CODE = {
    # push rbx; mov eax, edi; mov ecx, esi; cpuid; mov eax, ebx; pop rbx; ret
    "cpuid_ebx": bytes([0x53, 0x89, 0xF8, 0x89, 0xF1, 0x0F, 0xA2, 0x89, 0xD8, 0x5B, 0xC3]),
    # the same with mov eax, ecx
    "cpuid_ecx": bytes([0x53, 0x89, 0xF8, 0x89, 0xF1, 0x0F, 0xA2, 0x89, 0xC8, 0x5B, 0xC3]),
    # mov ecx, edi; xgetbv; ret
    "xgetbv": bytes([0x89, 0xF9, 0x0F, 0x01, 0xD0, 0xC3]),
}


def cpu_features():
    """Whether AVX2 and AVX-512F are usable: the CPU has them and the OS
    saves their registers (the test the core's dispatch makes)."""
    page = mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
    funcs = {}
    for offset, (name, code) in zip((0, 64, 128), _CODE.items()):
        page.seek(offset)
        page.write(code)
        address = ctypes.addressof(ctypes.c_char.from_buffer(page, offset))
        funcs[name] = ctypes.CFUNCTYPE(ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32)(address)
    leaf1_ecx = funcs["cpuid_ecx"](1, 0)
    leaf7_ebx = funcs["cpuid_ebx"](7, 0)
    osxsave, avx = leaf1_ecx >> 27 & 1, leaf1_ecx >> 28 & 1
    xcr0 = funcs["xgetbv"](0, 0) if osxsave else 0
    ymm = avx and (xcr0 & 0x6) == 0x6
    zmm = ymm and (xcr0 & 0xE0) == 0xE0
    return {"avx2": bool(ymm and leaf7_ebx >> 5 & 1), "avx512f": bool(zmm and leaf7_ebx >> 16 & 1)}


def extension_modules():
    """Dotted names of the distribution's compiled modules (just _varnel when
    the module is not installed as a distribution)."""
    try:
        files = importlib.metadata.files("varnel") or []
    except importlib.metadata.PackageNotFoundError:
        return ["_varnel"]
    names = []
    for f in files:
        parts = str(f).split("/")
        if parts[-1].endswith(".so") and not parts[0].endswith(".libs"):
            parts[-1] = parts[-1].split(".")[0]
            names.append(".".join(parts))
    return sorted(names)


class Lcg:
    """Fixed pseudo-random floats: small integers and halves, plus a few
    values that need every bit of a float32."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) % 2**64
        return self.state >> 33

    def vector(self, dim):
        return [((self.next() % 2001) - 1000) / 64.0 + (self.next() % 7) / 3.0 for _ in range(dim)]


def line(label, hits):
    return label + " " + " ".join("%d:%s" % (i, float(d).hex()) for i, d in hits)


def main():
    out = ["cpu " + " ".join("%s=%d" % kv for kv in sorted(cpu_features().items()))]
    for name in extension_modules():
        importlib.import_module(name)
        out.append("imported " + name)
    rng = Lcg(14)
    # Lengths around every block width of the kernels (4, 8, 16 and their multiples).
    for dim in (1, 3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 100, 128):
        rows = [rng.vector(dim) for _ in range(40)]
        queries = [rng.vector(dim) for _ in range(3)]
        for metric in ("euclidean", "cosine", "dot"):
            index = _varnel.Index(metric, dim)
            index.insert(0, rows[0])
            index.insert_batch(list(range(1, len(rows))), rows[1:])
            for q, query in enumerate(queries):
                out.append(line("index %s %d q%d" % (metric, dim, q), index.search(query, 10)))
            for q, hits in enumerate(index.search_batch(queries, 5)):
                out.append(line("batch %s %d q%d" % (metric, dim, q), hits))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "c")
        rows = [rng.vector(24) for _ in range(30)]
        collection = _varnel.Collection.open_or_create(path, 24, "cosine")
        collection.insert_batch(list(range(100, 130)), rows)
        collection.flush()
        del collection
        import gc

        gc.collect()
        reopened = _varnel.Collection.open_or_create(path, 24, "cosine")
        out.append(line("collection", reopened.search(rows[7], 10)))
    out.extend(package_lines(Lcg(1414)))
    sys.stdout.write("\n".join(out) + "\n")


def package_lines(rng):
    """The varnel package (its own extension module, numpy results): filtered
    single and batch searches over two threads, and a reopened collection."""
    try:
        import numpy as np
        import varnel
    except ImportError:  # a build with the low-level module alone
        return []

    def hits_line(label, hits):
        bits = np.ascontiguousarray(hits.distances, dtype=np.float32).view(np.uint32)
        return label + " " + " ".join("%d:%08x" % (int(i), int(b))
                                      for i, b in zip(hits.ids.ravel(), bits.ravel()))

    out = []
    for dim in (5, 16, 33, 128):
        rows = np.array([rng.vector(dim) for _ in range(60)], dtype=np.float32)
        queries = np.array([rng.vector(dim) for _ in range(4)], dtype=np.float32)
        payloads = [{"group": i % 3, "name": "row%d" % i} for i in range(len(rows))]
        for metric in ("euclidean", "cosine", "dot"):
            index = varnel.Index(dim, metric, threads=2)
            index.upsert(np.arange(len(rows), dtype=np.uint64) * 7, rows, payloads)
            out.append(hits_line("varnel %s %d" % (metric, dim), index.search(queries[0], 8)))
            out.append(hits_line("varnel where %s %d" % (metric, dim),
                                 index.search(queries, 5, where={"group": {"$in": [0, 2]}})))
    with tempfile.TemporaryDirectory() as tmp:
        rows = np.array([rng.vector(12) for _ in range(25)], dtype=np.float32)
        with varnel.Collection(os.path.join(tmp, "c"), 12, "euclidean") as collection:
            collection.upsert(np.arange(25, dtype=np.uint64), rows, [{"odd": i % 2} for i in range(25)])
            collection.flush()
        with varnel.Collection(os.path.join(tmp, "c")) as reopened:
            out.append(hits_line("varnel collection", reopened.search(rows[3], 6, where={"odd": 1})))
    return out


if __name__ == "__main__":
    main()
