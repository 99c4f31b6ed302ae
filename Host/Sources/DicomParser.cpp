#include "DicomParser.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcjson.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/oflog/oflog.h>

#include <algorithm>
#include <mutex>
#include <sstream>

namespace KestrumHost
{
  void QuietDcmtk()
  {
    // DCMTK warns on stdout/stderr about every odd file or peer; the host reports its own reasons.
    static std::once_flag once;
    std::call_once(once, []
    {
      OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    });
  }

  namespace
  {
    /**
     * A value longer than this is skipped rather than copied out of the buffer
     * (pixel data, overlays): the index needs none of them, and the file is
     * stored from the received bytes.
     */
    const Uint32 LargestLoadedValue = 4096;

    /**
     * A buffer stream that DCMTK may skip large values in. DCMTK only skips a
     * value (instead of copying it) when its stream can be reopened later at
     * that place; the host never asks for those values, so the reopened
     * stream is never read, but the skip still checks that the value is
     * there, which keeps truncated files refused.
     */
    class SkippingBufferStream : public DcmInputBufferStream
    {
    private:
      class Factory : public DcmInputStreamFactory
      {
      private:
        const char* data_;
        size_t size_;

      public:
        Factory(const char* data, size_t size) : data_(data), size_(size) {}

        DcmInputStream* create() const override
        {
          auto* stream = new DcmInputBufferStream();
          stream->setBuffer(data_, static_cast<offile_off_t>(size_));
          stream->setEos();
          return stream;
        }

        DcmInputStreamFactory* clone() const override
        {
          return new Factory(data_, size_);
        }

        DcmInputStreamFactoryType ident() const override
        {
          return DFT_DcmInputFileStreamFactory;
        }
      };

      const char* data_;
      size_t size_;

    public:
      SkippingBufferStream(const void* data, size_t size) :
        data_(static_cast<const char*>(data)),
        size_(size)
      {
        setBuffer(data, static_cast<offile_off_t>(size));
        setEos();
      }

      DcmInputStreamFactory* newFactory() const override
      {
        const size_t offset = std::min(size_, static_cast<size_t>(tell()));
        return new Factory(data_ + offset, size_ - offset);
      }
    };

    std::string ReadTag(DcmDataset& dataset, const DcmTagKey& key)
    {
      OFString value;
      if (dataset.findAndGetOFStringArray(key, value).good())
      {
        std::string text(value.c_str(), value.length());
        // Trailing padding is not part of the value.
        while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        {
          text.pop_back();
        }
        return text;
      }
      return std::string();
    }

    void CopyTag(DcmDataset& dataset, const DcmTagKey& key, const char* name, Json::Value& target)
    {
      if (dataset.tagExists(key))
      {
        target[name] = ReadTag(dataset, key);
      }
    }

    /** Reads a file (or a bare data set) from memory, its large values skipped. */
    bool ReadFile(const void* data, size_t size, DcmFileFormat& file, std::string& reason)
    {
      QuietDcmtk();
      if (size < 8)
      {
        reason = "The body is too short to be a DICOM file";
        return false;
      }
      if (!dcmDataDict.isDictionaryLoaded())
      {
        reason = "The DICOM dictionary is not loaded";
        return false;
      }
      SkippingBufferStream stream(data, size);
      file.transferInit();
      OFCondition status = file.read(stream, EXS_Unknown, EGL_noChange, LargestLoadedValue);
      file.transferEnd();
      if (status.bad())
      {
        reason = std::string("Not a DICOM file: ") + status.text();
        return false;
      }
      return true;
    }

    bool IsBulkData(DcmEVR vr)
    {
      switch (vr)
      {
        case EVR_OB: case EVR_OD: case EVR_OF: case EVR_OL: case EVR_OV: case EVR_OW: case EVR_ox:
        case EVR_px: case EVR_pixelSQ: case EVR_pixelItem: case EVR_PixelData: case EVR_OverlayData:
        case EVR_UN: case EVR_UNKNOWN: case EVR_UNKNOWN2B:
          return true;
        default:
          return false;
      }
    }

    /** Removes every binary value, in nested sequences too. */
    void RemoveBulkData(DcmItem& item)
    {
      for (unsigned long i = item.card(); i-- > 0;)
      {
        DcmElement* element = item.getElement(i);
        if (IsBulkData(element->ident()))
        {
          delete item.remove(element);
        }
        else if (element->ident() == EVR_SQ)
        {
          DcmSequenceOfItems& sequence = *static_cast<DcmSequenceOfItems*>(element);
          for (unsigned long j = 0; j < sequence.card(); j++)
          {
            RemoveBulkData(*sequence.getItem(j));
          }
        }
      }
    }

    /** The tags the host lists and indexes, level by level. */
    void CopyMainTags(DcmDataset& dataset, ParsedDicom& result)
    {
      result.patientTags["PatientID"] = result.ids.patientId;
      CopyTag(dataset, DCM_PatientName, "PatientName", result.patientTags);
      CopyTag(dataset, DCM_PatientBirthDate, "PatientBirthDate", result.patientTags);
      CopyTag(dataset, DCM_PatientSex, "PatientSex", result.patientTags);

      result.studyTags["StudyInstanceUID"] = result.ids.studyInstanceUid;
      CopyTag(dataset, DCM_StudyDate, "StudyDate", result.studyTags);
      CopyTag(dataset, DCM_StudyTime, "StudyTime", result.studyTags);
      CopyTag(dataset, DCM_StudyDescription, "StudyDescription", result.studyTags);
      CopyTag(dataset, DCM_AccessionNumber, "AccessionNumber", result.studyTags);
      CopyTag(dataset, DCM_StudyID, "StudyID", result.studyTags);

      result.seriesTags["SeriesInstanceUID"] = result.ids.seriesInstanceUid;
      CopyTag(dataset, DCM_Modality, "Modality", result.seriesTags);
      CopyTag(dataset, DCM_SeriesNumber, "SeriesNumber", result.seriesTags);
      CopyTag(dataset, DCM_SeriesDescription, "SeriesDescription", result.seriesTags);

      result.instanceTags["SOPInstanceUID"] = result.ids.sopInstanceUid;
      if (!result.sopClassUid.empty())
      {
        result.instanceTags["SOPClassUID"] = result.sopClassUid;
      }
      CopyTag(dataset, DCM_InstanceNumber, "InstanceNumber", result.instanceTags);
    }
  }

  bool DicomToJson(const void* data, size_t size, std::string& json, std::string& reason)
  {
    DcmFileFormat file;
    if (!ReadFile(data, size, file, reason))
    {
      return false;
    }
    RemoveBulkData(*file.getDataset());
    std::ostringstream out;
    DcmJsonFormatCompact format(OFFalse);
    OFCondition status = file.writeJson(out, format);
    if (status.bad())
    {
      reason = std::string("Cannot write the data set as JSON: ") + status.text();
      return false;
    }
    json = out.str();
    return true;
  }

  bool ParseDicom(const void* data, size_t size, ParsedDicom& result, std::string& reason)
  {
    DcmFileFormat file;
    if (!ReadFile(data, size, file, reason))
    {
      return false;
    }
    DcmDataset& dataset = *file.getDataset();
    result = ParsedDicom();
    result.ids.sopInstanceUid = ReadTag(dataset, DCM_SOPInstanceUID);
    if (result.ids.sopInstanceUid.empty())
    {
      reason = "The DICOM file has no SOP Instance UID";
      return false;
    }
    result.ids.patientId = ReadTag(dataset, DCM_PatientID);
    result.ids.studyInstanceUid = ReadTag(dataset, DCM_StudyInstanceUID);
    result.ids.seriesInstanceUid = ReadTag(dataset, DCM_SeriesInstanceUID);
    result.sopClassUid = ReadTag(dataset, DCM_SOPClassUID);
    CopyMainTags(dataset, result);
    return true;
  }
}
