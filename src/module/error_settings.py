# How halvorn handles the misuse it finds itself (operands whose shapes do not
# fit, a zero divisor, storage that cannot be had): "exit", the default, writes
# the fixed message to stderr and ends the process with status 1; "raise"
# raises ValueError, ZeroDivisionError or MemoryError instead.
#
# This file is compiled into the module and run once per import, with the
# ContextVar that the native code reads as `_setting`; its public names become
# the module's. The setting is looked at only once a misuse has been found, so
# no call that succeeds pays for it.
import functools
import typing

Misuse = typing.Literal["exit", "raise"]
_CHOICES = ("exit", "raise")


def _checked(misuse: object) -> str:
    # Only the two strings themselves; the stored value is always one of ours.
    for choice in _CHOICES:
        if type(misuse) is str and misuse == choice:
            return choice
    raise ValueError(f"misuse must be 'exit' or 'raise', not {misuse!r}")


def geterr() -> dict[str, str]:
    """The current settings, as a new dict: {'misuse': 'exit'} or {'misuse': 'raise'}."""
    return {"misuse": _setting.get()}


def seterr(*, misuse: Misuse | None = None) -> dict[str, str]:
    """Sets how misuse is handled in the current context and returns the
    settings as they were. misuse=None changes nothing."""
    previous = geterr()
    if misuse is not None:
        _setting.set(_checked(misuse))
    return previous


class errstate:
    """A context manager, and decorator, that sets misuse on entry and puts
    back the previous setting on exit, also when an exception leaves the block.

    Each decorated call enters afresh; a single errstate object cannot be
    entered again while it is active."""

    def __init__(self, *, misuse: Misuse) -> None:
        self._misuse = _checked(misuse)
        self._token: typing.Any = None

    def __enter__(self) -> None:
        if self._token is not None:
            raise TypeError("this errstate is already active; make a new one to nest")
        self._token = _setting.set(self._misuse)

    def __exit__(self, *exception: object) -> None:
        token, self._token = self._token, None
        _setting.reset(token)

    def __call__(self, function: typing.Callable[..., typing.Any]) -> typing.Callable[..., typing.Any]:
        misuse = self._misuse

        @functools.wraps(function)
        def with_setting(*args: typing.Any, **kwargs: typing.Any) -> typing.Any:
            token = _setting.set(misuse)
            try:
                return function(*args, **kwargs)
            finally:
                _setting.reset(token)

        return with_setting

    def __repr__(self) -> str:
        return f"halvorn.errstate(misuse={self._misuse!r})"
