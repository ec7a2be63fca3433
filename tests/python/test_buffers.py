"""ManagedBuffer and DataView: the exported buffer, shared memory between
exports, zero copy from the device, and release exactly once."""

import ctypes
import gc
import inspect
import unittest

import pytavo_device as tavo
import support
from streams_support import Recorder, probe_bytes


def collect(script, aligned=False):
    """Runs a scripted stream to its end; returns the device and the recorder
    (which keeps every ManagedBuffer)."""
    device = support.probe_device(f"script={script}")
    rec = Recorder(keep=True)
    if aligned:
        stream = device.start_aligned_read_stream(0, 4, rec)
    else:
        stream = device.start_read_stream(0, rec)
    rec.wait()
    stream.stop()
    return device, rec


def counters():
    return support.probe_info(support.probe_device())


class ExportTest(unittest.TestCase):
    def test_memoryview_properties(self):
        _, rec = collect("owned:6/owned:0/stop")
        for buffer, size in zip(rec.kept, (6, 0)):
            view = memoryview(buffer)
            self.assertEqual((view.format, view.itemsize, view.ndim, view.shape, view.strides, view.readonly,
                              view.nbytes), ("B", 1, 1, (size,), (1,), False, size))
        with self.assertRaises(TypeError):
            len(rec.kept[0])

    def test_views_of_one_buffer_share_memory(self):
        _, rec = collect("owned:4/stop")
        buffer = rec.kept[0]
        first, second = memoryview(buffer), memoryview(buffer)
        first[0] = 200
        self.assertEqual(second[0], 200)
        self.assertEqual(bytes(buffer)[1:], probe_bytes(1, 3))

    def test_zero_copy_from_the_device(self):
        import ctypes
        device, rec = collect("owned:16/stop")
        address = ctypes.addressof(ctypes.c_char.from_buffer(memoryview(rec.kept[0])))
        self.assertEqual(address, int(support.probe_info(device)["last_chunk"], 16))

    def test_shape_given_to_a_request_without_strides(self):
        class Py_buffer(ctypes.Structure):
            _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                        ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                        ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                        ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.c_void_p),
                        ("internal", ctypes.c_void_p)]

        PyBUF_ND = 0x0008
        _, rec = collect("owned:6/stop")
        export = Py_buffer()
        ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(rec.kept[0]), ctypes.byref(export), PyBUF_ND)
        try:
            self.assertEqual((export.ndim, bool(export.shape), bool(export.strides)), (1, True, False))
            self.assertEqual(export.shape[0], 6)
        finally:
            ctypes.pythonapi.PyBuffer_Release(ctypes.byref(export))

    def test_buffer_method_agrees_with_memoryview(self):
        # x.__buffer__(flags) must export what memoryview(x) exports, under
        # every request, with the same errors: for both types (a DataView
        # during its call and after it), and for a Python subclass.
        def outcome(export):
            try:
                view = export()
            except BufferError as e:
                return str(e)
            return (view.obj, view.format, view.itemsize, view.shape, view.strides, view.readonly, view.tobytes())

        def compare(obj):
            for flags in inspect.BufferFlags.__members__.values():
                self.assertEqual(outcome(lambda: obj.__buffer__(flags)), outcome(lambda: memoryview(obj)), flags)
            if isinstance(outcome(lambda: memoryview(obj)), str):
                return
            view = obj.__buffer__(inspect.BufferFlags.WRITABLE)
            obj.__release_buffer__(view)
            with self.assertRaises(ValueError):
                view.tobytes()  # released

        _, rec = collect("owned:6/owned:0/stop")
        compare(rec.kept[0])
        compare(rec.kept[1])
        failures, views, pieces = [], [], Recorder()
        def on_piece(view, text):
            if view is not None:
                try:
                    compare(view)
                except AssertionError as e:
                    failures.append(e)
                views.append(view)
            pieces(None, text)
        stream = support.probe_device("script=owned:8/stop").start_aligned_read_stream(0, 4, on_piece)
        pieces.wait()
        stream.stop()
        self.assertEqual((failures, len(views)), ([], 1))
        compare(views[0])  # after its call: no bytes
        for cls in (tavo.ManagedBuffer, tavo.DataView):
            subclass = type("Sub", (cls,), {})
            compare(subclass.__new__(subclass))

    def test_buffers_pass_the_bulk_checks(self):
        _, rec = collect("owned:4/stop")
        sink = support.probe_device("count=length")
        self.assertEqual(sink.write(0, rec.kept[0]), 4)
        self.assertEqual(sink.read(0, rec.kept[0]), 4)


class ReleaseTest(unittest.TestCase):
    def test_released_once_after_the_last_export(self):
        before = counters()
        device, rec = collect("owned:8/owned:8/stop")
        kept = rec.kept
        rec.kept = []
        view = memoryview(kept[0])
        del kept
        gc.collect()
        mid = counters()
        self.assertEqual(int(mid["chunks_released"]) - int(before["chunks_released"]), 1)  # the unexported one
        self.assertEqual(view[1], 1)  # still valid: the export keeps the buffer
        del view
        gc.collect()
        after = counters()
        self.assertEqual(int(after["chunks_released"]) - int(before["chunks_released"]), 2)
        self.assertEqual(int(after["chunks_allocated"]) - int(before["chunks_allocated"]), 2)

    def test_buffer_outlives_stream_device_and_manager(self):
        _, rec = collect("owned:5/stop")
        gc.collect()
        self.assertEqual(bytes(rec.kept[0]), probe_bytes(0, 5))

    def test_view_exports_outliving_their_callback_keep_the_bytes(self):
        # The first case keeps a piece of a 64 MiB chunk (freed by the worker
        # after the call), the second one of a 64 MiB accumulation buffer
        # (freed with the stream): unmapped memory, unless the exports keep it.
        script = ("import threading, support\n"
                  "device = support.probe_device({options!r})\n"
                  "kept, ended = [], threading.Event()\n"
                  "def on_piece(view, text):\n"
                  "    if view is not None: kept.append(memoryview(view))\n"
                  "    elif text is None: ended.set()\n"
                  "stream = device.start_aligned_read_stream(0, {alignment}, on_piece)\n"
                  "assert ended.wait(30)\n"
                  "stream.stop(); del stream, device\n"
                  "print([(len(m), m[0], m[-1]) for m in kept])\n")
        big = 1 << 26
        for options, alignment, size in ((f"script=owned:{big}/stop", 1, big), ("script=owned:1000/stop", big, 1000)):
            with self.subTest(alignment=alignment):
                result = support.run_python(script.format(options=options, alignment=alignment))
                self.assertEqual(result.returncode, 0, result.stderr[-2000:])
                self.assertEqual(result.stdout.strip(), str([(size, 0, (size - 1) % 251)]))

    def test_kept_chunk_released_with_its_last_export(self):
        before = counters()
        device = support.probe_device("script=owned:8/owned:8/stop")
        rec, views = Recorder(), []
        stream = device.start_aligned_read_stream(
            0, 1, lambda view, text: (views.append(memoryview(view)) if view is not None and not views else None,
                                      rec(view, text)))
        rec.wait()
        stream.stop()
        released = lambda: int(counters()["chunks_released"]) - int(before["chunks_released"])
        self.assertEqual(released(), 1)  # the first chunk is still exported
        del views[:]
        gc.collect()
        self.assertEqual(released(), 2)

    def test_aligned_stream_frees_every_chunk(self):
        before = counters()
        collect("owned:3/owned:9/owned:1/stop", aligned=True)
        gc.collect()
        after = counters()
        self.assertEqual(int(after["chunks_released"]) - int(before["chunks_released"]), 3)


class RecordlessInstanceTest(unittest.TestCase):
    def test_new_made_instances_refuse_export(self):
        for cls in (tavo.ManagedBuffer, tavo.DataView):
            with self.subTest(cls.__name__):
                obj = cls.__new__(cls)
                with self.assertRaises(BufferError):
                    memoryview(obj)
                with self.assertRaises(BufferError):
                    support.probe_device().write(0, obj)


if __name__ == "__main__":
    unittest.main()
