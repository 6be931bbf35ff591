# How halvorn handles the misuse it finds itself (operands whose shapes do not
# fit, a zero divisor, storage that cannot be had): "exit", the default, writes
# the fixed message to stderr and ends the process with status 1; "raise"
# raises ValueError, ZeroDivisionError or MemoryError instead.
#
# This file is compiled into the module and run once per import, with the
# ContextVar that the native code reads as `_setting`, and the process default
# that applies wherever that variable is unset as `_process_default` and
# `_set_process_default`; its public names become the module's. The setting
# is looked at only once a misuse has been found, so no call that succeeds
# pays for it.
import functools
import typing

Misuse = typing.Literal["exit", "raise"]
Scope = typing.Literal["context", "process"]


def _checked(value: object, name: str = "misuse", choices: tuple[str, str] = ("exit", "raise")) -> str:
    # Only the two strings themselves; the stored value is always one of ours.
    for choice in choices:
        if type(value) is str and value == choice:
            return choice
    raise ValueError(f"{name} must be {choices[0]!r} or {choices[1]!r}, not {value!r}")


def _in_force() -> str:
    # A context that never chose takes the process default: a new thread, a
    # task that an engine runs in a fresh context, the main thread at start.
    chosen: str | None = _setting.get(None)
    return chosen if chosen is not None else _process_default()


def geterr() -> dict[str, str]:
    """The settings in force in the current context, as a new dict:
    {'misuse': 'exit'} or {'misuse': 'raise'}."""
    return {"misuse": _in_force()}


def seterr(*, misuse: Misuse | None = None, scope: Scope = "context") -> dict[str, str]:
    """Sets how misuse is handled and returns the settings of that scope as
    they were; misuse=None changes nothing.

    scope="context" sets it for the current context (thread, asyncio task).
    scope="process" sets the process default, which every context that has
    no setting of its own uses: new threads, pool and engine tasks that run
    in a fresh context, and the main thread before any context setting."""
    if _checked(scope, "scope", ("context", "process")) == "process":
        previous = {"misuse": _process_default()}
        if misuse is not None:
            _set_process_default(_checked(misuse))
        return previous
    previous = geterr()
    if misuse is not None:
        _setting.set(_checked(misuse))
    return previous


def _call_with_setting(misuse: str, function: typing.Callable[..., typing.Any], args: typing.Any,
                       kwargs: typing.Any) -> typing.Any:
    token = _setting.set(_checked(misuse))
    try:
        return function(*args, **kwargs)
    finally:
        _setting.reset(token)


class errstate:
    """A context manager, and decorator, that sets misuse on entry and puts
    back the previous setting on exit, also when an exception leaves the block.

    Each decorated call enters afresh; a single errstate object cannot be
    entered again while it is active. An errstate, and a function decorated
    with one, pickle: the setting goes with them."""

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

        # The wrapper names nothing but halvorn._call_with_setting, which
        # pickles as its name: so a decorated function that is pickled by
        # value (cloudpickle does that for one defined in __main__) carries
        # no ContextVar, which cannot be pickled.
        @functools.wraps(function)
        def with_setting(*args: typing.Any, **kwargs: typing.Any) -> typing.Any:
            return _call_with_setting(misuse, function, args, kwargs)

        return with_setting

    def __reduce__(self) -> tuple[typing.Any, ...]:
        # A fresh, inactive errstate of the same setting: a token belongs to
        # the context that set it.
        return (_errstate_of, (self._misuse,))

    def __repr__(self) -> str:
        return f"halvorn.errstate(misuse={self._misuse!r})"


def _errstate_of(misuse: str) -> errstate:
    return errstate(misuse=typing.cast(Misuse, misuse))
