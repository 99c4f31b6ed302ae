#include "DicomParser.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcjson.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/oflog/oflog.h>

#include <algorithm>
#include <cstdint>
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

    /**
     * Reads a file (or a bare data set) from memory, its large values skipped;
     * parsing stops at the first element at or beyond `stopAt` (DCMTK's
     * undefined tag key: at the end).
     */
    bool ReadFile(const void* data, size_t size, DcmFileFormat& file, std::string& reason,
                  const DcmTagKey& stopAt = DCM_UndefinedTagKey)
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
      OFCondition status = file.readUntilTag(stream, EXS_Unknown, EGL_noChange, LargestLoadedValue, stopAt);
      file.transferEnd();
      if (status.bad())
      {
        reason = std::string("Not a DICOM file: ") + status.text();
        return false;
      }
      return true;
    }

    /** The first tag the index does not need: its tags end at Instance Number (0020,0013). */
    const DcmTagKey FirstTagNotIndexed(0x0020, 0x0014);

    uint32_t ReadLittleEndian32(const uint8_t* bytes)
    {
      return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    }

    /**
     * The value of the element at `at` when it has this tag (and, explicit,
     * the VR OB, or OW where allowed) and its header fits: nullptr otherwise.
     */
    const uint8_t* ElementValue(const uint8_t* at, const uint8_t* end, const uint8_t (&tag)[4], bool explicitVr,
                                bool orOW, uint32_t& length)
    {
      const size_t header = explicitVr ? 12 : 8;
      if (static_cast<size_t>(end - at) < header || !std::equal(std::begin(tag), std::end(tag), at) ||
          (explicitVr && (at[4] != 'O' || (at[5] != 'B' && !(orOW && at[5] == 'W')) || at[6] != 0 || at[7] != 0)))
      {
        return nullptr;
      }
      length = ReadLittleEndian32(at + header - 4);
      return at + header;
    }

    /**
     * Whether the bytes from `at` are nothing, or the Data Set Trailing
     * Padding (FFFC,FFFC) that may follow the pixel data, whole.
     */
    bool IsWholeTail(const uint8_t* at, const uint8_t* end, bool explicitVr)
    {
      static const uint8_t PaddingTag[] = { 0xfc, 0xff, 0xfc, 0xff };
      uint32_t length = 0;
      const uint8_t* value = at == end ? end : ElementValue(at, end, PaddingTag, explicitVr, false, length);
      return value != nullptr && length == static_cast<uint64_t>(end - value);
    }

    /** Whether encapsulated pixel data, from its first item on, ends with its delimiter, then a whole tail. */
    bool EndsWithWholeFragments(const uint8_t* at, const uint8_t* end, bool explicitVr)
    {
      const uint32_t Item = 0xe000fffe;                  // (FFFE,E000), group first, little endian
      const uint32_t SequenceDelimitation = 0xe0ddfffe;  // (FFFE,E0DD)
      while (end - at >= 8)
      {
        const uint32_t tag = ReadLittleEndian32(at);
        const uint32_t length = ReadLittleEndian32(at + 4);
        at += 8;
        if (tag == SequenceDelimitation)
        {
          return length == 0 && IsWholeTail(at, end, explicitVr);
        }
        if (tag != Item || length > static_cast<uint64_t>(end - at))
        {
          return false;
        }
        at += length;
      }
      return false;
    }

    /**
     * Whether the bytes (a little endian data set, not deflated) end with a
     * whole Pixel Data element (and at most the padding that may follow it):
     * then a file cut short, which is almost always
     * cut in its pixel data, its largest and last part, is ruled out without
     * parsing what lies between the indexed tags and the pixels. False when
     * in any doubt (no pixel data, elements after it, odd encodings), and the
     * caller then parses to the end.
     */
    bool EndsWithWholePixelData(const uint8_t* begin, const uint8_t* end, bool explicitVr)
    {
      static const uint8_t PixelDataTag[] = { 0xe0, 0x7f, 0x10, 0x00 };   // (7FE0,0010)
      // The real element comes first or nearly so (after an icon's); a file
      // crafted with many look-alikes, each walked to the end, would make
      // this quadratic: beyond a few, the full parse decides.
      const int MaximumCandidates = 16;
      const uint8_t* at = begin;
      for (int candidate = 0; candidate < MaximumCandidates; candidate++, at++)
      {
        at = std::search(at, end, std::begin(PixelDataTag), std::end(PixelDataTag));
        if (at == end)
        {
          return false;
        }
        uint32_t length = 0;
        const uint8_t* value = ElementValue(at, end, PixelDataTag, explicitVr, true, length);
        if (value == nullptr)
        {
          continue;   // these bytes were inside some other value, or are cut short
        }
        if (length == 0xffffffff ? EndsWithWholeFragments(value, end, explicitVr)
                                 : length <= static_cast<uint64_t>(end - value) && IsWholeTail(value + length, end, explicitVr))
        {
          return true;
        }
      }
      return false;
    }

    /** Whether a file read up to FirstTagNotIndexed is known to be whole without reading the rest. */
    bool IsKnownWhole(DcmFileFormat& head, const void* data, size_t size)
    {
      const DcmXfer syntax(head.getDataset()->getOriginalXfer());
      if (!syntax.isLittleEndian() || syntax.getStreamCompression() != ESC_none)
      {
        return false;
      }
      const auto* bytes = static_cast<const uint8_t*>(data);
      return EndsWithWholePixelData(bytes, bytes + size, syntax.isExplicitVR());
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
    // Each received instance is parsed once, and half of a typical header
    // (private groups, the image description) lies beyond the tags the index
    // keeps: parsing stops there when the file is known to be whole.
    DcmFileFormat head;
    if (!ReadFile(data, size, head, reason, FirstTagNotIndexed))
    {
      return false;
    }
    DcmFileFormat whole;
    DcmFileFormat* file = &head;
    if (!IsKnownWhole(head, data, size))
    {
      if (!ReadFile(data, size, whole, reason))
      {
        return false;
      }
      file = &whole;
    }
    DcmDataset& dataset = *file->getDataset();
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
