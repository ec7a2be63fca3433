"""SigMF metadata of a recording: the core datatype names of our sample
types, the global object, the capture and one annotation per gap and per
device error at its sample offset, written whole and read back as lines."""

import datetime
import json
import pathlib
import tempfile
import unittest

from tavo._samples import SampleFormat
from tavo._sigmf import SigmfWriter, describe_meta, read_meta, sigmf_datatype, sigmf_paths


class SigmfTest(unittest.TestCase):
    def test_datatypes(self):
        names = {"<i2": "ri16_le", ">i2": "ri16_be", "<u2": "ru16_le", ">u4": "ru32_be", "<i4": "ri32_le",
                 "<f4": "rf32_le", ">f8": "rf64_be", "uint8": "ru8", "i1": "ri8"}
        for dtype, name in names.items():
            with self.subTest(dtype=dtype):
                self.assertEqual(sigmf_datatype(SampleFormat.parse(dtype)), name)
        for dtype in ("<i8", ">u8"):
            with self.subTest(dtype=dtype), self.assertRaisesRegex(ValueError, "no core datatype"):
                SigmfWriter(SampleFormat.parse(dtype))

    def test_metadata_with_gaps_and_errors(self):
        start = datetime.datetime(2024, 5, 1, 14, 0, 0, 123456, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
        writer = SigmfWriter(SampleFormat.parse("<i2", 2), sample_rate=1000, hw="TAVO simulator device sim0",
                             recorder="tavo 0.1.0", start=start)
        writer.gap(4096, 3)
        writer.error(4100, "simulated error at chunk 2")
        writer.gap(6002, 1)  # inside a frame: the sample it falls in, and the exact byte
        with self.assertRaisesRegex(ValueError, "stream order"):
            writer.gap(6000, 1)
        with tempfile.TemporaryDirectory() as tmp:
            data, meta = sigmf_paths(pathlib.Path(tmp) / "rec")
            self.assertEqual(sigmf_paths(data), (data, meta))
            self.assertEqual(sigmf_paths(str(meta)), (data, meta))
            self.assertEqual(meta.name, "rec.sigmf-meta")
            writer.write(meta)
            data.write_bytes(bytes(8000))
            self.assertEqual(sorted(p.name for p in pathlib.Path(tmp).iterdir()), ["rec.sigmf-data", "rec.sigmf-meta"])
            loaded = json.loads(meta.read_text(encoding="utf-8"))
            lines = describe_meta(read_meta(meta), data.stat().st_size)
            (pathlib.Path(tmp) / "other.sigmf-meta").write_text('{"global": {}}')
            with self.assertRaisesRegex(ValueError, "other.sigmf-meta: not SigMF metadata"):
                read_meta(pathlib.Path(tmp) / "other.sigmf-meta")
        self.assertEqual(loaded["global"], {
            "core:datatype": "ri16_le", "core:version": "1.0.0", "core:num_channels": 2, "core:recorder": "tavo 0.1.0",
            "core:extensions": [{"name": "tavo", "version": "1.0.0", "optional": True}],
            "core:sample_rate": 1000.0, "core:hw": "TAVO simulator device sim0"})
        self.assertEqual(loaded["captures"], [{"core:sample_start": 0, "core:datetime": "2024-05-01T12:00:00.123456Z"}])
        self.assertEqual(loaded["annotations"], [
            {"core:sample_start": 1024, "core:sample_count": 0, "core:label": "dropped",
             "core:comment": "3 stream event(s) dropped", "tavo:byte_offset": 4096, "tavo:dropped": 3},
            {"core:sample_start": 1025, "core:sample_count": 0, "core:label": "device error",
             "core:comment": "simulated error at chunk 2", "tavo:byte_offset": 4100},
            {"core:sample_start": 1500, "core:sample_count": 0, "core:label": "dropped",
             "core:comment": "1 stream event(s) dropped", "tavo:byte_offset": 6002, "tavo:dropped": 1}])
        self.assertEqual(lines, [
            "ri16_le, 2 channel(s), 1000 samples/s, from 2024-05-01T12:00:00.123456Z",
            "data: 8000 bytes, 2000 samples",
            "recorder: tavo 0.1.0",
            "hardware: TAVO simulator device sim0",
            "sample 1024 (byte 4096): 3 stream event(s) dropped",
            "sample 1025 (byte 4100): device error: simulated error at chunk 2",
            "sample 1500 (byte 6002): 1 stream event(s) dropped"])


if __name__ == "__main__":
    unittest.main()
