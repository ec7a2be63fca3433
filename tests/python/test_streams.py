"""Read streams from a scripted plugin device: parameters, the event to
callback mapping, alignment, failures in callbacks, overflow notices and
the DataStream handle."""

import gc
import threading
import time
import unittest

import pytavo_device as tavo
import support
from streams_support import Recorder, probe_bytes, wait_until


def scripted(script, **options):
    opts = ",".join([f"script={script}"] + [f"{k}={v}" for k, v in options.items()])
    return support.probe_device(opts)


class StartTest(unittest.TestCase):
    def test_parameters_reach_the_device(self):
        d = scripted("stop")
        rec = Recorder()
        with d.start_read_stream(9, rec) as stream:
            self.assertIsInstance(stream, tavo.DataStream)
            self.assertEqual(support.probe_info(d)["last_call"], "start_read_stream 9 0")
        d.start_read_stream(addr=4294967295, callback=rec, chunk_size=2**64 - 1, max_queue_elements=64).stop()
        self.assertEqual(support.probe_info(d)["last_call"], f"start_read_stream 4294967295 {2**64 - 1}")
        d.start_read_stream(1, rec, 0, 2**32 + 100).stop()  # reaches the queue as 100

    def test_limits_and_refusals(self):
        d = scripted("stop")
        before = support.probe_info(d)["last_call"]
        with self.assertRaisesRegex(RuntimeError, "^max_elements must be greater than init_elements$"):
            d.start_read_stream(0, Recorder(), 0, 63)
        with self.assertRaisesRegex(RuntimeError, "^max_elements must be greater than init_elements$"):
            d.start_read_stream(0, Recorder(), 0, 2**32 + 63)
        with self.assertRaises(ValueError):
            d.start_aligned_read_stream(0, 0, Recorder())
        with self.assertRaises(ValueError):
            d.start_aligned_read_stream(0, 2**63, Recorder())
        with self.assertRaises(MemoryError):
            d.start_aligned_read_stream(0, 2**62, Recorder())
        for args in ((-1, Recorder()), (2**32, Recorder()), (0.0, Recorder()), (0, 5), (0, Recorder(), -1)):
            with self.subTest(args=args), self.assertRaises(TypeError):
                d.start_read_stream(*args)
        self.assertEqual(support.probe_info(d)["last_call"], before)  # the device was never called

    def test_devices_that_start_nothing(self):
        for mode in ("none", "null", "throw"):
            with self.subTest(mode):
                d = support.probe_device(f"stream={mode}")
                rec = Recorder()
                if mode == "throw":
                    with self.assertRaisesRegex(RuntimeError, "^stream refused$"):
                        d.start_read_stream(0, rec)
                else:
                    self.assertIsNone(d.start_read_stream(0, rec))
                    self.assertIsNone(d.start_aligned_read_stream(0, 4, rec))
                self.assertEqual(rec.calls, [])


class DeliveryTest(unittest.TestCase):
    def test_event_mapping_plain(self):
        rec = Recorder(keep=True)
        stream = scripted("owned:10/error:x/view:3/owned:0/stop").start_read_stream(0, rec)
        calls = rec.wait()
        self.assertEqual(calls, [("data", probe_bytes(0, 10)), ("error", "x"), ("data", probe_bytes(10, 3)),
                                 ("data", b""), ("stop", None)])
        self.assertTrue(all(isinstance(b, tavo.ManagedBuffer) for b in rec.kept))
        stream.stop()

    def test_event_mapping_aligned(self):
        cases = {
            "owned:3/owned:3/owned:6/stop": [probe_bytes(0, 4), probe_bytes(4, 4), probe_bytes(8, 4)],
            "owned:5/stop": [probe_bytes(0, 4), probe_bytes(4, 1)],
            "owned:0/owned:2/error:e/owned:7/stop": [probe_bytes(0, 4), probe_bytes(4, 4), probe_bytes(8, 1)],
            "owned:9/owned:3/stop": [probe_bytes(0, 8), probe_bytes(8, 4)],
            "view:9/stop": [probe_bytes(0, 8), probe_bytes(8, 1)],
        }
        for script, pieces in cases.items():
            with self.subTest(script):
                rec = Recorder()
                stream = scripted(script).start_aligned_read_stream(0, 4, rec)  # delivers while referenced
                calls = rec.wait()
                self.assertEqual([p for kind, p in calls if kind == "data"], pieces)
                self.assertEqual(calls[-1], ("stop", None))
        rec = Recorder()
        stream = scripted("owned:3/owned:5/stop").start_aligned_read_stream(0, 1, rec)
        self.assertEqual(rec.wait(), [("data", probe_bytes(0, 3)), ("data", probe_bytes(3, 5)), ("stop", None)])

    def test_error_in_the_middle_of_aligned_data(self):
        rec = Recorder()
        stream = scripted("owned:2/error:e/owned:2/stop").start_aligned_read_stream(0, 4, rec)
        self.assertEqual(rec.wait(), [("error", "e"), ("data", probe_bytes(0, 4)), ("stop", None)])

    def test_data_view_is_cleared_after_its_callback(self):
        views = []

        def keep(view, text):
            if view is not None:
                self.assertEqual(len(memoryview(view)), 8)
                views.append(view)

        rec = Recorder()

        def both(view, text):
            keep(view, text)
            rec(view, text)

        stream = scripted("owned:8/stop").start_aligned_read_stream(0, 4, both)
        rec.wait()
        del stream
        self.assertEqual(len(views), 1)
        for view in views:
            self.assertIsInstance(view, tavo.DataView)
            self.assertEqual(bytes(view), b"")

    def test_failing_callbacks_are_logged_and_the_stream_goes_on(self):
        seen = threading.Event()
        count = []

        def failing(buffer, text):
            count.append(1)
            if buffer is None and text is None:
                seen.set()
            raise ValueError("callback failed")

        result = support.run_python(
            "import pytavo_device as t, support, time\n"
            "d = support.probe_device('script=owned:1/error:x/stop')\n"
            "done = []\n"
            "def cb(b, s):\n"
            "    done.append(1)\n"
            "    raise ValueError('callback failed')\n"
            "s = d.start_read_stream(0, cb)\n"
            "while len(done) < 3: time.sleep(0.01)\n"
            "time.sleep(0.1)\n"
            "s2 = d.start_read_stream(0, None)\n"
            "time.sleep(0.3)\n"
            "s.stop(); s2.stop()\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = [l for l in result.stdout.splitlines() + result.stderr.splitlines() if "Error in callback" in l]
        self.assertEqual(sum("callback failed" in l for l in lines), 3, lines)
        self.assertTrue(all("[error]" in l for l in lines), lines)
        self.assertTrue(any("bad_function_call" in l for l in lines), lines)
        self.assertTrue(all(l.split("Error in callback: ")[1] for l in lines))

    def test_invalid_utf8_error_text_fails_the_delivery(self):
        result = support.run_python(
            "import pytavo_device as t, support, time\n"
            "d = support.probe_manager().create_device(b'probe:script=error:\\xff/owned:1/stop')\n"
            "calls = []\n"
            "s = d.start_read_stream(0, lambda b, e: calls.append((b is None, e)))\n"
            "while len(calls) < 2: time.sleep(0.01)\n"
            "print(calls)\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("[(False, None), (True, None)]", result.stdout)
        self.assertIn("Error in callback: ", result.stdout + result.stderr)


class OverflowTest(unittest.TestCase):
    def blocked_stream(self, script, limit):
        """Starts a stream whose callback blocks until the returned gate is set."""
        gate = threading.Event()
        rec = Recorder()

        def slow(buffer, text):
            gate.wait()
            rec(buffer, text)

        stream = scripted(script).start_read_stream(0, slow, 0, limit)
        return stream, gate, rec

    def test_blocked_callback_gets_one_notice_per_dropped_event(self):
        stream, gate, rec = self.blocked_stream("repeat:300:8/stop", 64)
        time.sleep(0.5)  # the producer pushes everything while the first call blocks
        gate.set()
        # 300 chunks, each delivered or replaced by a notice, then the Stop.
        self.assertTrue(wait_until(lambda: len(rec.calls) == 301), len(rec.calls))
        time.sleep(0.1)
        self.assertEqual(len(rec.calls), 301)
        data = [p for k, p in rec.calls if k == "data"]
        notices = [p for k, p in rec.calls if k == "error"]
        self.assertEqual(set(notices), {"Queue Overflow, dropping event"})
        self.assertGreaterEqual(len(data), 64)  # at least the limit was stored
        self.assertEqual(b"".join(data), probe_bytes(0, 8 * len(data)))  # the kept ones in order
        self.assertEqual(rec.calls[-1], ("stop", None))  # the end is never dropped
        stream.stop()

    def test_large_limit_holds_everything(self):
        stream, gate, rec = self.blocked_stream("repeat:2000:4/stop", 4096)
        time.sleep(0.5)
        gate.set()
        calls = rec.wait(timeout=30)
        self.assertEqual(len(calls), 2001)
        self.assertEqual(b"".join(p for k, p in calls[:-1]), probe_bytes(0, 8000))
        stream.stop()


class HandleTest(unittest.TestCase):
    def test_with_block_stops_once_and_propagates(self):
        d = scripted("wait", on_stop="push")
        rec = Recorder()
        with self.assertRaises(KeyError):
            with d.start_read_stream(0, rec) as stream:
                self.assertIsInstance(stream, tavo.DataStream)
                raise KeyError("inside")
        self.assertEqual(rec.wait(), [("stop", None)])
        self.assertEqual(support.probe_info(d)["stop_calls"], "1")
        with self.assertRaises(TypeError):
            stream.__exit__(5, None, None)

    def test_stop_that_destroys_the_sink(self):
        d = scripted("owned:4/wait", on_stop="destroy")
        rec = Recorder()
        stream = d.start_read_stream(0, rec)
        self.assertTrue(wait_until(lambda: rec.calls))
        stream.stop()
        self.assertEqual(rec.calls, [("data", probe_bytes(0, 4))])

    def test_release_without_stop(self):
        for on_stop in ("push", "destroy", "nothing"):
            with self.subTest(on_stop):
                d = scripted("owned:4/wait", on_stop=on_stop)
                rec = Recorder()
                stream = d.start_read_stream(0, rec)
                self.assertTrue(wait_until(lambda: rec.calls))
                del stream
                gc.collect()
                self.assertEqual(support.probe_info(d)["handles_destroyed"], "1")

    def test_stream_outlives_device_and_manager(self):
        rec = Recorder()
        stream = scripted("owned:4/wait").start_read_stream(0, rec)
        gc.collect()
        self.assertTrue(wait_until(lambda: rec.calls))
        stream.stop()
        self.assertEqual(rec.wait(), [("data", probe_bytes(0, 4)), ("stop", None)])

    def test_start_stop_churn(self):
        d = scripted("repeat:20:16/wait")
        for _ in range(200):
            rec = Recorder()
            with d.start_read_stream(0, rec) as stream:
                pass
            rec.wait()
        del stream
        self.assertEqual(support.probe_info(d)["handles_destroyed"], "200")
        self.assertTrue(wait_until(lambda: threading.active_count() == 1))


# Each delivery runs on a fresh interpreter thread state, whose frame stack
# the module keeps between deliveries. Deep recursion (several stack blocks
# per delivery), a frame larger than one block, and more streams delivering
# at once than blocks are kept must all still compute right.
class CallbackFramesTest(unittest.TestCase):
    def test_deep_and_wide_frames_on_many_streams(self):
        names = [f"v{k}" for k in range(3000)]
        namespace = {}
        exec(f"def wide():\n    {' = '.join(names)} = 1\n    return {' + '.join(names[:50])}", namespace)
        wide = namespace["wide"]

        def depth(n):
            return 0 if n == 0 else 1 + depth(n - 1)

        results = []

        class Computing(Recorder):
            def __call__(self, buffer, text):
                if buffer is not None:
                    results.append((depth(400), wide()))
                super().__call__(buffer, text)

        recorders = [Computing() for _ in range(6)]
        streams = [scripted("repeat:30:8/stop").start_read_stream(0, rec) for rec in recorders]
        for rec in recorders:
            calls = rec.wait()
            self.assertEqual(b"".join(data for kind, data in calls[:-1]), probe_bytes(0, 240))
            self.assertEqual(calls[-1], ("stop", None))
        del streams
        self.assertEqual(results, [(400, 50)] * (6 * 30))


if __name__ == "__main__":
    unittest.main()
