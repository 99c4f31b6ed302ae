"""Real DICOM files for end-to-end tests and benchmarks.

The files come from pydicom's bundled test data. Only those that DCMTK can
read and that carry a SOP Instance UID are kept, and only one file per
distinct set of identifiers, because several bundled files share their UIDs
and a server would (rightly) treat them as the same instance.
"""

import functools
import io
import os
import subprocess
import warnings
from dataclasses import dataclass

import pydicom
import pydicom.data
from pydicom.uid import generate_uid


@dataclass(frozen=True)
class Sample:
    path: str
    patient_id: str
    study_uid: str
    series_uid: str
    sop_instance_uid: str

    @property
    def identifiers(self):
        return (self.patient_id, self.study_uid, self.series_uid, self.sop_instance_uid)

    def read_bytes(self):
        with open(self.path, "rb") as f:
            return f.read()


def dcmtk_can_read(path):
    """True when DCMTK parses the file (dcmdump exits 0)."""
    result = subprocess.run(["dcmdump", "-q", path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return result.returncode == 0


def read_identifiers(path):
    """(PatientID, StudyInstanceUID, SeriesInstanceUID, SOPInstanceUID) as
    texts, or None when the file cannot be parsed or has no SOP Instance UID."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ds = pydicom.dcmread(path, force=True, stop_before_pixels=True)
            sop = ds.get("SOPInstanceUID")
    except Exception:
        return None
    if not sop:
        return None
    return tuple(str(ds.get(name, "") or "") for name in
                 ("PatientID", "StudyInstanceUID", "SeriesInstanceUID", "SOPInstanceUID"))


@functools.lru_cache(maxsize=1)
def select_samples():
    """The usable bundled files, one per distinct set of identifiers, in a
    stable order (sorted by file name, then path)."""
    candidates = sorted((p for p in pydicom.data.get_testdata_files() if os.path.isfile(p)),
                        key=lambda p: (os.path.basename(p), p))
    chosen = {}
    for path in candidates:
        ids = read_identifiers(path)
        if ids is None or ids in chosen:
            continue
        if dcmtk_can_read(path):
            chosen[ids] = Sample(path, *ids)
    return list(chosen.values())


def sample_by_name(name):
    """The selected sample whose file name is `name` (e.g. "CT_small.dcm")."""
    for sample in select_samples():
        if os.path.basename(sample.path) == name:
            return sample
    raise LookupError(name)


def restamped(sample, patient_id=None, study_uid=None, series_uid=None):
    """The sample's file as bytes with fresh identifiers: a new SOP Instance
    UID always, and the given (or new) patient, study and series. Lets a test
    or benchmark make as many distinct instances as it needs from real data."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = pydicom.dcmread(sample.path, force=True)
    ds.PatientID = patient_id if patient_id is not None else "RESTAMPED"
    ds.StudyInstanceUID = study_uid or generate_uid()
    ds.SeriesInstanceUID = series_uid or generate_uid()
    sop = generate_uid()
    ds.SOPInstanceUID = sop
    if getattr(ds, "file_meta", None) is not None and "MediaStorageSOPInstanceUID" in ds.file_meta:
        ds.file_meta.MediaStorageSOPInstanceUID = sop
    out = io.BytesIO()
    ds.save_as(out, write_like_original=True)
    return out.getvalue()
