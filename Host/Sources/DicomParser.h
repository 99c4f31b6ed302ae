#pragma once

#include "ResourceIds.h"

#include <json/value.h>

#include <string>

namespace KestrumHost
{
  /** What the host reads out of an uploaded DICOM file. */
  struct ParsedDicom
  {
    DicomIdentifiers ids;
    std::string sopClassUid;
    Json::Value patientTags = Json::Value(Json::objectValue);   // PatientID, PatientName, ...
    Json::Value studyTags = Json::Value(Json::objectValue);     // StudyInstanceUID, StudyDate, ...
    Json::Value seriesTags = Json::Value(Json::objectValue);    // SeriesInstanceUID, Modality, ...
    Json::Value instanceTags = Json::Value(Json::objectValue);  // SOPInstanceUID, SOPClassUID, ...
  };

  /** Keeps DCMTK's own log quiet (fatal errors only): the host logs the causes itself. Idempotent. */
  void QuietDcmtk();

  /**
   * Reads a DICOM file (Part 10 with preamble, or a bare data set) from memory.
   * Returns false with a reason when the bytes are not DICOM or carry no SOP Instance UID.
   * `quick` false skips the quick walk of explicit VR little endian files:
   * DCMTK alone reads the file, which is what the quick walk must agree with.
   */
  bool ParseDicom(const void* data, size_t size, ParsedDicom& result, std::string& reason, bool quick = true);

  /**
   * The DICOM JSON object of a file's data set, with the bulk data (values
   * of binary VRs: pixel data, overlays, waveforms) left out. False with a
   * reason when the bytes are not DICOM.
   */
  bool DicomToJson(const void* data, size_t size, std::string& json, std::string& reason);
}
