"""Process figures from /proc shared by the benchmark scripts."""


def pss_kib(pids):
    """Proportional set size of a process group: shared pages counted once."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def descendants(pid):
    pids, todo = [pid], [pid]
    while todo:
        p = todo.pop()
        try:
            with open(f"/proc/{p}/task/{p}/children") as f:
                kids = [int(x) for x in f.read().split()]
        except OSError:
            kids = []
        pids += kids
        todo += kids
    return pids
