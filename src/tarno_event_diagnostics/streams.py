# SPDX-License-Identifier: LGPL-2.1-or-later
"""Standard output and standard error that may go away without ending the work.

A reader that goes away (``run --json | head -1``) closes the pipe: the next
write fails with EPIPE. That ends the output, never the diagnosis: the failed
stream is pointed at the null device, so that what the tool and the commands
it runs still write, and the interpreter's last flush, go nowhere quietly.
"""

from __future__ import annotations

import contextlib
import errno
import os
import sys
from typing import Any, Iterator, TextIO


class EndingStream:
    """Wraps a text stream; the first write or flush that fails ends it."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self.failure: OSError | None = None

    def write(self, text: str) -> int:
        if self.failure is None:
            try:
                return self._stream.write(text)
            except OSError as error:
                self._end(error)
        return len(text)

    def flush(self) -> None:
        if self.failure is None:
            try:
                self._stream.flush()
            except OSError as error:
                self._end(error)

    def _end(self, error: OSError) -> None:
        self.failure = error
        with contextlib.suppress(OSError, ValueError, AttributeError):
            null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
            try:
                os.dup2(null, self._stream.fileno())
            finally:
                os.close(null)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


@contextlib.contextmanager
def ending_outputs(program: str) -> Iterator[None]:
    """Inside, standard output and standard error end instead of raising. At
    the way out, a standard output that failed otherwise than by a reader that
    went away is said in one line on standard error."""
    out, err = EndingStream(sys.stdout), EndingStream(sys.stderr)
    sys.stdout, sys.stderr = out, err
    try:
        yield
    finally:
        out.flush()
        err.flush()
        if sys.stdout is out:
            sys.stdout = out._stream
        if sys.stderr is err:
            sys.stderr = err._stream
        failure = out.failure
        if failure is not None and failure.errno != errno.EPIPE:
            with contextlib.suppress(OSError):
                print(f"{program}: standard output could not be written: {failure.strerror}",
                      file=sys.stderr, flush=True)  # fmt: skip
