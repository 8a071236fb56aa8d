"""Process figures the soak scripts compare before and after."""
import os


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0
