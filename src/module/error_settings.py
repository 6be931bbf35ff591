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
import contextvars
import functools
import inspect
import types
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


@types.coroutine
def _stepped(body: list[typing.Any], resumable: typing.Any) -> typing.Generator[typing.Any, typing.Any, typing.Any]:
    # Drives a generator, a coroutine or an async generator's asend/athrow/
    # aclose awaitable with its own setting in force only while it runs: set
    # before each resumption and taken back before control goes back to the
    # caller, so that nothing leaks out between yields or awaits. `body` is
    # the one cell that every step of one body shares, [setting, open
    # entries, token of the running step]: what the body changes (seterr, an
    # errstate entered across a yield) stays there, whichever thread or task
    # resumes it next. Written as a generator, and marked as a coroutine, so
    # that generators delegate to it with `yield from` and coroutines with
    # `await`.
    def step(resume: typing.Callable[..., typing.Any], *value: typing.Any) -> typing.Any:
        token = _setting.set(body[0])
        outer, body[2] = body[2], _body.set(body)
        try:
            return resume(*value)
        finally:
            body[0] = _setting.get(body[0])
            _body.reset(body[2])
            body[2] = outer
            _setting.reset(token)

    try:
        sent_out = step(resumable.send, None)
    except StopIteration as stop:
        return stop.value
    while True:
        try:
            sent_in = yield sent_out
        except GeneratorExit:
            step(resumable.close)
            raise
        except BaseException as thrown:
            try:
                sent_out = step(resumable.throw, thrown)
            except StopIteration as stop:
                return stop.value
        else:
            try:
                sent_out = step(resumable.send, sent_in)
            except StopIteration as stop:
                return stop.value


# Outside a decorated body, a stack of (errstate, token) entries per context,
# so that one errstate object can be active in several threads and tasks at
# once, and nested in one, each exit taking back its own entry in its own
# context.
_entries: contextvars.ContextVar[tuple[tuple[typing.Any, typing.Any], ...]] = contextvars.ContextVar(
    "halvorn_errstate_entries", default=())

# The cell of the decorated body whose step is running, as _stepped shares it.
_body: contextvars.ContextVar[list[typing.Any]] = contextvars.ContextVar("halvorn_errstate_body")


def _running_body() -> list[typing.Any] | None:
    # The body whose step runs in this very context. A context copied from
    # the step's (a task it creates, a copy_context().run, a thread that
    # inherits it) names the cell too, but is not the body: the step's token
    # resets only in the context that set it, and is set afresh at once.
    body = _body.get(None)
    if body is None or body[2] is None:
        return None
    try:
        _body.reset(body[2])
    except (ValueError, RuntimeError):
        return None
    body[2] = _body.set(body)
    return body


class errstate:
    """A context manager, and decorator, that sets misuse on entry and puts
    back the previous setting on exit, also when an exception leaves the block.

    One errstate object may be entered in several threads and tasks at once,
    and nested in one: each exit puts back what its own entry replaced. As a
    decorator it applies while the function's body runs: for a generator, a
    coroutine or an async generator, at every resumption and never in the
    caller between them. An errstate, and a function decorated with one,
    pickle: the setting goes with them."""

    def __init__(self, *, misuse: Misuse) -> None:
        self._misuse = _checked(misuse)

    def __enter__(self) -> None:
        body = _running_body()
        if body is not None:
            # A body's entry is kept as the setting it replaced, not as a
            # token: a token is good only in the context that made it, and the
            # body's next step may run in another thread or task. The step has
            # set the variable, so there is always a setting to keep.
            body[1].append((self, _setting.get()))
            _setting.set(self._misuse)
            return
        token = _setting.set(self._misuse)
        _entries.set((*_entries.get(), (self, token)))

    def __exit__(self, *exception: object) -> None:
        body = _running_body()
        entries = body[1] if body is not None else _entries.get()
        # The latest entry of this object in this context; a block that others
        # left out of order still finds its own.
        for position in range(len(entries) - 1, -1, -1):
            if entries[position][0] is self:
                if body is not None:
                    _setting.set(entries[position][1])
                    del body[1][position]
                    return
                try:
                    _setting.reset(entries[position][1])
                except (ValueError, RuntimeError):
                    break  # entered in the context this one was copied from
                _entries.set(entries[:position] + entries[position + 1:])
                return
        raise RuntimeError("this errstate was not entered in the current context")

    def __call__(self, function: typing.Callable[..., typing.Any]) -> typing.Callable[..., typing.Any]:
        misuse = self._misuse

        # The wrappers name nothing but halvorn._call_with_setting and
        # halvorn._stepped, which pickle as their names: so a decorated
        # function that is pickled by value (cloudpickle does that for one
        # defined in __main__) carries no ContextVar, which cannot be pickled.
        if inspect.isasyncgenfunction(function):
            @functools.wraps(function)
            async def with_setting(*args: typing.Any, **kwargs: typing.Any) -> typing.Any:
                body = [misuse, [], None]
                generator = function(*args, **kwargs)
                try:
                    sent_out = await _stepped(body, generator.asend(None))
                    while True:
                        try:
                            sent_in = yield sent_out
                        except GeneratorExit:
                            await _stepped(body, generator.aclose())
                            raise
                        except BaseException as thrown:
                            sent_out = await _stepped(body, generator.athrow(thrown))
                        else:
                            sent_out = await _stepped(body, generator.asend(sent_in))
                except StopAsyncIteration:
                    return
        elif inspect.iscoroutinefunction(function):
            @functools.wraps(function)
            async def with_setting(*args: typing.Any, **kwargs: typing.Any) -> typing.Any:
                return await _stepped([misuse, [], None], function(*args, **kwargs))
        elif inspect.isgeneratorfunction(function):
            @functools.wraps(function)
            def with_setting(*args: typing.Any, **kwargs: typing.Any) -> typing.Any:
                return (yield from _stepped([misuse, [], None], function(*args, **kwargs)))
        else:
            @functools.wraps(function)
            def with_setting(*args: typing.Any, **kwargs: typing.Any) -> typing.Any:
                return _call_with_setting(misuse, function, args, kwargs)

        return with_setting

    def __reduce__(self) -> tuple[typing.Any, ...]:
        # A fresh errstate of the same setting: a token belongs to the context
        # that set it.
        return (_errstate_of, (self._misuse,))

    def __repr__(self) -> str:
        return f"halvorn.errstate(misuse={self._misuse!r})"


def _errstate_of(misuse: str) -> errstate:
    return errstate(misuse=typing.cast(Misuse, misuse))
