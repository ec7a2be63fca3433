"""Recordings that describe themselves: the SigMF metadata (`NAME.sigmf-meta`,
JSON, SigMF 1.x core namespace) of raw samples in `NAME.sigmf-data`.

The metadata says the sample type and channels (`core:datatype`,
`core:num_channels`), what made the recording (`core:recorder`, the
device's info as `core:hw`), the sample rate when known, when the capture
began (one capture, `core:datetime`), and where the stream had gaps
(dropped events) or device errors: one annotation each, at the sample where
it happened. Sample offsets count frames (one sample of every channel).

Annotations carry their facts twice: as SigMF core text (`core:label`,
`core:comment`) for any SigMF tool, and as numbers in this package's own
`tavo` namespace (`tavo:dropped`, `tavo:byte_offset`), declared optional
in `core:extensions`, for reading back without parsing text.
"""

from __future__ import annotations

import datetime
import json
import os
import pathlib
from typing import Any

from ._samples import SampleFormat

__all__ = ["SIGMF_VERSION", "SigmfWriter", "sigmf_datatype", "sigmf_paths", "read_meta", "describe_meta"]

SIGMF_VERSION = "1.0.0"  # the core fields used here are all in 1.0.0, which every 1.x reader takes
DATA_SUFFIX, META_SUFFIX = ".sigmf-data", ".sigmf-meta"
EXTENSION = {"name": "tavo", "version": "1.0.0", "optional": True}
DROPPED_LABEL, ERROR_LABEL = "dropped", "device error"

# SigMF core types: r (real) + f32 f64 i32 i16 u32 u16 + _le/_be, or i8 u8 without a byte order.
# 64-bit integers have no core type.
_SIGMF_TYPES = {"b": "i8", "B": "u8", "h": "i16", "H": "u16", "i": "i32", "I": "u32", "f": "f32", "d": "f64"}


def sigmf_datatype(fmt: SampleFormat) -> str:
    """The SigMF core `core:datatype` of real samples of `fmt`: "ri16_le",
    "rf32_be", "ru8". Raises ValueError for 64-bit integers, which SigMF's
    core does not name."""
    kind = _SIGMF_TYPES.get(fmt.code)
    if kind is None:
        raise ValueError(f"SigMF has no core datatype for {fmt.name} samples (64-bit integers)")
    if fmt.itemsize == 1:
        return "r" + kind
    return "r" + kind + ("_le" if fmt.byteorder == "<" else "_be")


def sigmf_paths(name: str | os.PathLike[str]) -> tuple[pathlib.Path, pathlib.Path]:
    """(data file, metadata file) of the recording `name`, given as the
    base name or as either file's name."""
    path = pathlib.Path(name)
    for suffix in (DATA_SUFFIX, META_SUFFIX):
        if path.name.endswith(suffix) and len(path.name) > len(suffix):
            path = path.with_name(path.name[:-len(suffix)])
            break
    return path.with_name(path.name + DATA_SUFFIX), path.with_name(path.name + META_SUFFIX)


def _utc_text(moment: datetime.datetime) -> str:
    if moment.tzinfo is None:
        raise ValueError("the capture's datetime needs a time zone")
    utc = moment.astimezone(datetime.timezone.utc)
    return utc.strftime("%Y-%m-%dT%H:%M:%S.%f") + "Z"


class SigmfWriter:
    """The metadata of one recording, built while it is made: note each gap
    and error at the byte offset (in the data file) where it happened, then
    `write` the `.sigmf-meta` file.

    `start` is when the first sample was taken (now, if not given);
    `hw` the device's description (its `get_info()`), `sample_rate` in
    samples (frames) per second."""

    def __init__(self, fmt: SampleFormat, *, sample_rate: float | None = None, hw: str | None = None,
                 recorder: str = "tavo", description: str | None = None,
                 start: datetime.datetime | None = None) -> None:
        self.format = fmt
        self.datatype = sigmf_datatype(fmt)  # refuse an unnamed type before anything is recorded
        if sample_rate is not None and not sample_rate > 0:
            raise ValueError(f"the sample rate must be above 0, not {sample_rate}")
        self.sample_rate = sample_rate
        self.hw = hw
        self.recorder = recorder
        self.description = description
        self.start = _utc_text(start or datetime.datetime.now(datetime.timezone.utc))
        self.annotations: list[dict[str, Any]] = []

    def _annotation(self, byte_offset: int, label: str, comment: str) -> dict[str, Any]:
        if byte_offset < 0:
            raise ValueError(f"byte offset {byte_offset} is negative")
        if self.annotations and byte_offset < self.annotations[-1]["tavo:byte_offset"]:
            raise ValueError("annotations must be noted in stream order")  # SigMF keeps them sorted
        annotation = {"core:sample_start": byte_offset // self.format.frame_size, "core:sample_count": 0,
                      "core:label": label, "core:comment": comment, "tavo:byte_offset": byte_offset}
        self.annotations.append(annotation)
        return annotation

    def gap(self, byte_offset: int, dropped: int) -> None:
        """`dropped` events were lost where the data file had `byte_offset`
        bytes."""
        annotation = self._annotation(byte_offset, DROPPED_LABEL, f"{dropped} stream event(s) dropped")
        annotation["tavo:dropped"] = dropped

    def error(self, byte_offset: int, text: str) -> None:
        """The device reported `text` where the data file had `byte_offset`
        bytes."""
        self._annotation(byte_offset, ERROR_LABEL, text)

    def metadata(self) -> dict[str, Any]:
        """The `.sigmf-meta` content, as a JSON-ready dict."""
        fields: dict[str, Any] = {"core:datatype": self.datatype, "core:version": SIGMF_VERSION,
                                  "core:num_channels": self.format.channels, "core:recorder": self.recorder,
                                  "core:extensions": [dict(EXTENSION)]}
        if self.sample_rate is not None:
            fields["core:sample_rate"] = float(self.sample_rate)
        if self.hw is not None:
            fields["core:hw"] = self.hw
        if self.description is not None:
            fields["core:description"] = self.description
        return {"global": fields, "captures": [{"core:sample_start": 0, "core:datetime": self.start}],
                "annotations": [dict(annotation) for annotation in self.annotations]}

    def write(self, meta_path: str | os.PathLike[str]) -> None:
        """Writes the metadata to `meta_path` whole: to a temporary file
        beside it, renamed over it, so a reader never sees half of it."""
        path = pathlib.Path(meta_path)
        temporary = path.with_name(path.name + ".tmp")
        with open(temporary, "w", encoding="utf-8") as file:
            json.dump(self.metadata(), file, indent=2, ensure_ascii=False)
            file.write("\n")
        os.replace(temporary, path)


def read_meta(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The metadata in a `.sigmf-meta` file. Raises OSError if unreadable,
    ValueError if it is no SigMF metadata (naming the file)."""
    with open(path, encoding="utf-8") as file:
        try:
            meta = json.load(file)
        except json.JSONDecodeError as error:
            raise ValueError(f"{os.fspath(path)}: not JSON: {error}") from None
    if not isinstance(meta, dict) or not isinstance(meta.get("global"), dict) \
            or not isinstance(meta.get("captures", []), list) or not isinstance(meta.get("annotations", []), list):
        raise ValueError(f"{os.fspath(path)}: not SigMF metadata (no global object)")
    if not isinstance(meta["global"].get("core:datatype"), str):
        raise ValueError(f"{os.fspath(path)}: not SigMF metadata (no core:datatype)")
    if not all(isinstance(item, dict) for item in meta.get("captures", []) + meta.get("annotations", [])):
        raise ValueError(f"{os.fspath(path)}: not SigMF metadata (a capture or annotation is no object)")
    return meta


def describe_meta(meta: dict[str, Any], data_size: int | None = None) -> list[str]:
    """Lines that tell a recording's metadata: the sample type, channels,
    rate, start, recorder and hardware (and the samples in the data file
    when `data_size` is given), then one line per annotation, in file
    order: "sample 4096 (byte 16384): 3 stream event(s) dropped"."""
    fields = meta["global"]
    channels = fields.get("core:num_channels", 1)
    head = f"{fields['core:datatype']}, {channels} channel(s)"
    rate = fields.get("core:sample_rate")
    if isinstance(rate, (int, float)) and not isinstance(rate, bool):
        head += f", {rate:g} samples/s"
    captures = meta.get("captures") or [{}]
    if "core:datetime" in captures[0]:
        head += f", from {captures[0]['core:datetime']}"
    lines = [head]
    if data_size is not None:
        frame = _frame_size(fields["core:datatype"], channels)
        lines.append(f"data: {data_size} bytes" + (f", {data_size // frame} samples" if frame else ""))
    for key, title in (("core:recorder", "recorder"), ("core:hw", "hardware"), ("core:description", "description")):
        if key in fields:
            lines.append(f"{title}: {fields[key]}")
    for annotation in meta.get("annotations", []):
        where = f"sample {annotation.get('core:sample_start', '?')}"
        if "tavo:byte_offset" in annotation:
            where += f" (byte {annotation['tavo:byte_offset']})"
        label = annotation.get("core:label", "annotation")
        text = annotation.get("core:comment", "")
        lines.append(f"{where}: {text}" if label == DROPPED_LABEL else f"{where}: {label}: {text}")
    return lines


def _frame_size(datatype: str, channels: int) -> int | None:
    """Bytes per sample of all channels, None for a type not known here."""
    kind = datatype[1:].split("_")[0]
    bits = {"i8": 8, "u8": 8, "i16": 16, "u16": 16, "i32": 32, "u32": 32, "f32": 32, "f64": 64}.get(kind)
    if bits is None or not isinstance(channels, int) or channels < 1:
        return None
    return bits // 8 * channels * (2 if datatype.startswith("c") else 1)
