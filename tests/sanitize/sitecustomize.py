"""Loaded by every Python process of scripts/sanitize.sh (through PYTHONPATH).

AddressSanitizer reserves terabytes of address space for its shadow memory at
start-up, so an address-space limit (RLIMIT_AS) set by a test to bound memory
use would make every later mapping fail. Under the sanitizer run such a limit
is dropped; large allocations are bounded instead by ASan's own
max_allocation_size_mb, which makes them fail (allocator_may_return_null=1) as
they would under the limit. Inert unless MBGAUGE_ASAN=1.
"""

import os
import resource

if os.environ.get("MBGAUGE_ASAN") == "1":
    _setrlimit = resource.setrlimit

    def _setrlimit_without_address_space_limit(which, limits):
        if which == resource.RLIMIT_AS:
            return None
        return _setrlimit(which, limits)

    resource.setrlimit = _setrlimit_without_address_space_limit
