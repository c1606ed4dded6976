"""ruvo: an embedded, persistent reasoning engine for a weighted Datalog.

The engine lives in the native extension ``ruvo._native``; its one class,
``NativeStore``, owns an event log (EDB) and a derived-state store (IDB).
"""

from ruvo._native import NativeStore

__all__ = ["NativeStore"]
