"""What this machine gives the process: its cores, the memory it uses and
may still use, and sizes as people read them."""

import os
from typing import Optional


def default_n_jobs() -> int:
    """Every core this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def available_memory() -> Optional[int]:
    """Bytes this process may still use: the system's available memory,
    within the control group's limit; None when neither can be read."""
    found = []
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    found.append(int(line.split()[1]) * 1024)
    except OSError:
        pass
    try:
        with open("/sys/fs/cgroup/memory.max") as limit, open("/sys/fs/cgroup/memory.current") as used:
            text = limit.read().strip()
            if text != "max":
                found.append(int(text) - int(used.read().strip()))
    except (OSError, ValueError):
        pass
    return min(found) if found else None


def resident_bytes() -> int:
    """Bytes of this process resident in memory; 0 when it cannot be read."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def size_text(n: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return str(n)
