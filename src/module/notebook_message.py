# How the message of a misuse that ends the process reaches a notebook user.
#
# An IPython kernel (ipykernel) puts a pipe on file descriptor 2 and has a
# thread of its own read it and pass what it reads on, by two routes: to the
# frontend as the running cell's stderr (a "stream" message on the kernel's
# IOPub socket, sent a fraction of a second later by the IOPub thread), and to
# the stderr the kernel was started with (its terminal, or the notebook
# server's log), of which the kernel keeps a copy. The process ends before
# that thread runs again, so a message written to fd 2 there is seen nowhere.
# Here the message takes both routes itself, and fd 2 is left alone, so that
# it shows once in each place.
#
# A kernel may also leave fd 2 alone (its own setting, or run under pytest):
# then fd 2 is the terminal itself, and the message still goes to the cell too,
# since the exit would otherwise also drop what the cell printed before it.
#
# A cell that captures stderr (%%capture, contextlib.redirect_stderr) still
# gets the message: it goes through the kernel's own stream, not the capture.
#
# Compiled into the module and run once per process. The exit path calls
# _deliver(message) on the failing thread, where Python can run, after it
# flushed sys.stdout and sys.stderr. It returns True only when it wrote the
# message to the kernel's terminal itself; everywhere else (no kernel, a
# kernel that leaves fd 2 alone, a forked child, whose fd 2 the parent kernel
# still forwards, or anything unexpected) the exit path writes it to fd 2, as
# in any process.
import os
import sys
import threading

# Bounds on the two waits, so that a stuck IOPub thread or a frontend that no
# longer reads cannot keep a failed process alive for long.
_HANDOVER_SECONDS = 5.0
_SENT_SECONDS = 5.0


def _kernel_stream(name):
    # The kernel's own stream of that name: sys.stdout or sys.stderr, unless a
    # cell captures it (%%capture, contextlib.redirect_stderr), and then the
    # one the kernel keeps, since the capture dies with the process. None
    # outside a kernel. ipykernel's attributes are read with defaults: another
    # version may lack them.
    iostream = sys.modules.get("ipykernel.iostream")
    if iostream is None:
        return None
    stream = getattr(sys, name)
    if not isinstance(stream, iostream.OutStream):
        kernelbase = sys.modules.get("ipykernel.kernelbase")
        kernel_class = getattr(kernelbase, "Kernel", None)
        if kernel_class is None or not kernel_class.initialized():
            return None
        stream = getattr(kernel_class.instance(), "_" + name, None)
    return stream if isinstance(stream, iostream.OutStream) else None


def _kernel_stderr():
    # The kernel's stderr stream when it sends through a running IOPub thread
    # of this process, else None.
    stream = _kernel_stream("stderr")
    if stream is None:
        return None
    publisher = getattr(stream, "pub_thread", None)
    thread = getattr(publisher, "thread", None)
    if publisher is None or publisher.closed or thread is None or not thread.is_alive():
        return None
    # On the IOPub thread itself the handover would wait for its own turn.
    if thread is threading.current_thread() or os.getpid() != getattr(stream, "_master_pid", None):
        return None
    return stream


def _forwards_fd_2(stream):
    return getattr(stream, "_should_watch", False) and getattr(stream, "_original_stdstream_fd", None) == 2


def _send_to_cell(stream, text):
    # Waits until the IOPub thread put the message on its socket, and then
    # until ZeroMQ's own I/O thread has taken it, since ending the process
    # earlier can lose a message that only sits in the socket's queue: without
    # this wait, 2 of 20 kernels in a row lost it here, on a busy machine.
    import zmq

    session = stream.session
    message = session.msg("stream", {"name": stream.name, "text": text}, parent=stream.parent_header)
    frames = session.serialize(message, ident=stream.topic)
    socket = stream.pub_thread.socket
    handed_over = threading.Event()
    trackers = []

    def send():
        # On the IOPub thread, which owns the socket, after the sends that the
        # flush before this call queued there: its events run in order.
        try:
            socket.send_multipart(frames[:-1], zmq.SNDMORE)
            # pyzmq copies a small frame and calls it sent at once; a frame it
            # must not copy is tracked until ZeroMQ lets go of it, which it
            # does once it took the frame from the queue, and the frames before.
            last = zmq.Frame(frames[-1], track=True, copy=False)
            trackers.append(socket.send(last, copy=False, track=True))
        except Exception:
            pass
        finally:
            handed_over.set()

    stream.pub_thread.schedule(send)
    if not handed_over.wait(_HANDOVER_SECONDS) or not trackers:
        return
    try:
        trackers[0].wait(_SENT_SECONDS)
    except zmq.NotDone:
        # A frontend that stops reading: the message waits in the queue, and
        # fd 2 would reach no one either.
        pass


def _deliver(message):
    stream = _kernel_stderr()
    if stream is None:
        return False
    written = False
    if _forwards_fd_2(stream):
        try:
            os.write(stream._original_stdstream_copy, message.encode())
            written = True
        except (AttributeError, OSError, TypeError):
            pass
    # What a cell that captures its streams printed before the capture is
    # still in the kernel's own; the flush queues it before the message.
    for name in ("stdout", "stderr"):
        kernel_stream = _kernel_stream(name)
        if kernel_stream is not None and kernel_stream is not getattr(sys, name):
            try:
                kernel_stream.flush()
            except Exception:
                pass
    # Also waits until what the flushes before this call queued has left.
    _send_to_cell(stream, message)
    return written
