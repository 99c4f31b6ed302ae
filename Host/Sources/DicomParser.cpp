#include "DicomParser.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcjson.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/oflog/oflog.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
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
     * DCMTK throws out of reading some malformed directory records (a record
     * type of odd length) and leaks the record it was reading. Nothing here
     * needs a record as DCMTK's directory object, which it makes of every
     * item of a Directory Record Sequence (0004,1220): the stream gives DCMTK
     * that tag in group 0006 instead, which no standard element uses and
     * which the dictionary knows as a sequence, and the tag gets its group
     * back once read.
     */
    const uint8_t DirectoryRecordSequenceTag[4] = { 0x04, 0x00, 0x20, 0x12 };
    const uint16_t DirectoryRecordAliasGroup = 0x0006;

    void AddDirectoryRecordAlias()
    {
      static std::once_flag once;
      std::call_once(once, []
      {
        DcmDataDictionary& dictionary = dcmDataDict.wrlock();
        dictionary.addEntry(new DcmDictEntry(DirectoryRecordAliasGroup, 0x1220, EVR_SQ,
                                             "DirectoryRecordSequenceAsRead", 1, 1, nullptr, OFTrue, nullptr));
        dcmDataDict.wrunlock();
      });
    }

    void RestoreDirectoryRecordSequences(DcmFileFormat& file)
    {
      DcmStack stack;
      while (file.nextObject(stack, OFTrue).good())
      {
        if (stack.top()->getTag() == DcmTagKey(DirectoryRecordAliasGroup, 0x1220))
        {
          stack.top()->setGTag(0x0004);
        }
      }
    }

    /**
     * A buffer stream that DCMTK may skip large values in. DCMTK only skips a
     * value (instead of copying it) when its stream can be reopened later at
     * that place, where it reads the value if asked for it (the index never
     * asks); the skip still checks that the value is there, which keeps
     * truncated files refused. It hands out the Directory Record Sequence's
     * tag in its alias group.
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
      bool valuesReadLater_;       // whether skipped values are read afterwards
      bool inflating_ = false;     // a deflated data set: DCMTK's filter gives other bytes than the buffer's
      offile_off_t markedAt_ = -1;
      bool aliased_ = false;

      /**
       * Whether the 2 bytes just read at `at` are the group of a Directory
       * Record Sequence's tag. DCMTK marks the stream before each tag: bytes
       * read anywhere else are a value.
       */
      bool IsDirectoryRecordGroup(const uint8_t* bytes, offile_off_t at)
      {
        if (at != markedAt_ || bytes[0] != DirectoryRecordSequenceTag[0] ||
            bytes[1] != DirectoryRecordSequenceTag[1])
        {
          return false;
        }
        if (!inflating_)
        {
          return static_cast<size_t>(at) + 4 <= size_ &&
                 std::equal(std::begin(DirectoryRecordSequenceTag), std::end(DirectoryRecordSequenceTag), data_ + at);
        }
        // Peek at the element, then come back through DCMTK's own mark.
        uint8_t element[2];
        const bool isTag = DcmInputBufferStream::read(element, 2) == 2 &&
                           element[0] == DirectoryRecordSequenceTag[2] && element[1] == DirectoryRecordSequenceTag[3];
        putback();
        uint8_t group[2];
        DcmInputBufferStream::read(group, 2);
        return isTag;
      }

    public:
      SkippingBufferStream(const void* data, size_t size, bool valuesReadLater) :
        data_(static_cast<const char*>(data)),
        size_(size),
        valuesReadLater_(valuesReadLater)
      {
        setBuffer(data, static_cast<offile_off_t>(size));
        setEos();
      }

      DcmInputStreamFactory* newFactory() const override
      {
        if (inflating_ && valuesReadLater_)
        {
          // Positions count inflated bytes, which a new stream on the buffer
          // cannot find: DCMTK then reads every value in place. Only for a
          // stored file, whose values all fitted when it was received.
          return nullptr;
        }
        const size_t offset = std::min(size_, static_cast<size_t>(tell()));
        return new Factory(data_ + offset, size_ - offset);
      }

      OFCondition installCompressionFilter(E_StreamCompression filterType) override
      {
        const OFCondition status = DcmInputBufferStream::installCompressionFilter(filterType);
        inflating_ = inflating_ || status.good();
        return status;
      }

      void mark() override
      {
        DcmInputBufferStream::mark();
        markedAt_ = tell();
      }

      // DCMTK reads a tag as its group, 2 bytes, then its element: the group
      // of a Directory Record Sequence's tag is handed out aliased. Skipped
      // values (pixel data) are never looked at.
      offile_off_t read(void* buffer, offile_off_t length) override
      {
        const offile_off_t at = tell();
        const offile_off_t count = DcmInputBufferStream::read(buffer, length);
        auto* bytes = static_cast<uint8_t*>(buffer);
        if (count == 2 && IsDirectoryRecordGroup(bytes, at))
        {
          AddDirectoryRecordAlias();
          bytes[0] = static_cast<uint8_t>(DirectoryRecordAliasGroup);
          aliased_ = true;
        }
        return count;
      }

      bool Aliased() const
      {
        return aliased_;
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
     * Runs one DCMTK read. DCMTK throws on some malformed values instead of
     * failing (a directory record's type did, before the alias above): that
     * is a failed read too.
     */
    template <typename Read>
    OFCondition ReadGuarded(Read read)
    {
      try
      {
        return read();
      }
      catch (const std::bad_alloc&)
      {
        throw;
      }
      catch (const std::exception&)
      {
        return EC_CorruptedData;
      }
    }

    /**
     * Reads a file (or a bare data set) from memory, its large values skipped;
     * parsing stops at the first element at or beyond `stopAt` (DCMTK's
     * undefined tag key: at the end). `valuesReadLater`: the caller reads
     * skipped values afterwards (see SkippingBufferStream).
     */
    bool ReadFile(const void* data, size_t size, DcmFileFormat& file, std::string& reason,
                  const DcmTagKey& stopAt = DCM_UndefinedTagKey, bool valuesReadLater = false)
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
      SkippingBufferStream stream(data, size, valuesReadLater);
      file.transferInit();
      const OFCondition status = ReadGuarded([&]
      {
        return file.readUntilTag(stream, EXS_Unknown, EGL_noChange, LargestLoadedValue, stopAt);
      });
      file.transferEnd();
      if (status.bad())
      {
        reason = std::string("Not a DICOM file: ") + status.text();
        return false;
      }
      if (stream.Aliased())
      {
        RestoreDirectoryRecordSequences(file);
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

    /**
     * Skips the fragments of encapsulated pixel data, from its first item on:
     * where its delimiter ends, or nullptr when they do not fit or end badly.
     */
    const uint8_t* SkipFragments(const uint8_t* at, const uint8_t* end)
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
          return length == 0 ? at : nullptr;
        }
        if (tag != Item || length > static_cast<uint64_t>(end - at))
        {
          return nullptr;
        }
        at += length;
      }
      return nullptr;
    }

    /** Whether encapsulated pixel data, from its first item on, ends with its delimiter, then a whole tail. */
    bool EndsWithWholeFragments(const uint8_t* at, const uint8_t* end, bool explicitVr)
    {
      const uint8_t* after = SkipFragments(at, end);
      return after != nullptr && IsWholeTail(after, end, explicitVr);
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

    uint16_t ReadLittleEndian16(const uint8_t* bytes)
    {
      return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    }

    /** The tags that ParseDicom reads, all of them top-level strings of groups 0008 to 0020. */
    bool IsIndexedTag(uint32_t tag)
    {
      switch (tag)
      {
        case 0x00080016: case 0x00080018: case 0x00080020: case 0x00080030: case 0x00080050:
        case 0x00080060: case 0x00081030: case 0x0008103e: case 0x00100010: case 0x00100020:
        case 0x00100030: case 0x00100040: case 0x0020000d: case 0x0020000e: case 0x00200010:
        case 0x00200011: case 0x00200013:
          return true;
        default:
          return false;
      }
    }

    /**
     * A quick walk over a Part 10 file whose data set is explicit VR little
     * endian, not deflated (the files of nearly every modality and of every
     * STOW-RS client): it checks that each element, sequence, item and
     * fragment fits and ends where it should, to the last byte, and copies the
     * top-level elements the index reads into a small data set of their own,
     * which DCMTK then reads as it would have read them in the file. DCMTK's
     * parse of a whole header builds an object for each of its hundreds of
     * elements, most of them never read; this walk builds none.
     *
     * The walk gives up at anything it is not sure of (another encoding, no
     * preamble, an unknown VR, tags out of order, an undefined length outside
     * a sequence or the pixel data, deep nesting), and then DCMTK parses the
     * whole file as before: it never refuses a file by itself.
     */
    class QuickWalk
    {
    private:
      static const uint32_t Item = 0xfffee000;
      static const uint32_t ItemDelimitation = 0xfffee00d;
      static const uint32_t SequenceDelimitation = 0xfffee0dd;
      static const uint32_t PixelData = 0x7fe00010;
      static const uint32_t UndefinedLength = 0xffffffff;
      static const int MaximumDepth = 16;

      const uint8_t* at_;
      const uint8_t* const end_;
      bool encapsulated_ = false;

      struct Header
      {
        uint32_t tag;
        char vr[2];
        uint32_t length;
      };

      static uint32_t ReadTag(const uint8_t* at)
      {
        return static_cast<uint32_t>(ReadLittleEndian16(at)) << 16 | ReadLittleEndian16(at + 2);
      }

      /** The VRs whose length takes 4 bytes after 2 reserved ones; false for VRs this walk does not know. */
      static bool IsKnownVr(const char vr[2], bool& longLength)
      {
        static const char* const Short[] = { "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD", "IS", "LO",
                                             "LT", "PN", "SH", "SL", "SS", "ST", "TM", "UI", "UL", "US" };
        static const char* const Long[] = { "OB", "OD", "OF", "OL", "OW", "SQ", "UC", "UN", "UR", "UT" };
        auto is = [vr](const char* known) { return vr[0] == known[0] && vr[1] == known[1]; };
        longLength = std::any_of(std::begin(Long), std::end(Long), is);
        return longLength || std::any_of(std::begin(Short), std::end(Short), is);
      }

      /** Reads an explicit VR element header; false when it is cut short or its VR is unknown. */
      bool ReadHeader(const uint8_t* end, Header& header)
      {
        if (end - at_ < 8)
        {
          return false;
        }
        header.tag = ReadTag(at_);
        header.vr[0] = static_cast<char>(at_[4]);
        header.vr[1] = static_cast<char>(at_[5]);
        bool longLength = false;
        if (!IsKnownVr(header.vr, longLength))
        {
          return false;
        }
        if (!longLength)
        {
          header.length = ReadLittleEndian16(at_ + 6);
          at_ += 8;
          return true;
        }
        if (end - at_ < 12 || at_[6] != 0 || at_[7] != 0)
        {
          return false;
        }
        header.length = ReadLittleEndian32(at_ + 8);
        at_ += 12;
        return true;
      }

      /** Items and delimiters: tag and length, 8 bytes whatever the VR encoding. */
      bool ReadItemHeader(const uint8_t* end, uint32_t& tag, uint32_t& length)
      {
        if (end - at_ < 8)
        {
          return false;
        }
        tag = ReadTag(at_);
        length = ReadLittleEndian32(at_ + 4);
        at_ += 8;
        return true;
      }

      /** The fragments of encapsulated pixel data, up to and including their delimiter. */
      bool WalkFragments()
      {
        const uint8_t* after = SkipFragments(at_, end_);
        at_ = after != nullptr ? after : end_;
        return after != nullptr;
      }

      /** A sequence's items: up to `end` (defined length), or up to its delimiter (`end` is then the file's). */
      bool WalkItems(const uint8_t* end, bool undefinedLength, int depth)
      {
        while (undefinedLength || at_ < end)
        {
          uint32_t tag = 0, length = 0;
          if (!ReadItemHeader(end, tag, length))
          {
            return false;
          }
          if (tag == SequenceDelimitation)
          {
            return undefinedLength && length == 0;
          }
          if (tag != Item)
          {
            return false;
          }
          if (length == UndefinedLength)
          {
            if (!WalkElements(end, true, depth, nullptr))
            {
              return false;
            }
          }
          else if (length > static_cast<uint64_t>(end - at_) || !WalkElements(at_ + length, false, depth, nullptr))
          {
            return false;
          }
        }
        return at_ == end;
      }

      /**
       * The elements of a data set or of an item, in ascending order, up to
       * `end`, or up to the item's delimiter. The indexed top-level elements
       * are appended to `indexed` (null in items).
       */
      bool WalkElements(const uint8_t* end, bool untilDelimiter, int depth, std::string* indexed)
      {
        if (depth > MaximumDepth)
        {
          return false;
        }
        uint32_t previous = 0;
        bool first = true;
        while (at_ < end)
        {
          if (untilDelimiter && end - at_ >= 8 && ReadTag(at_) == ItemDelimitation)
          {
            const bool whole = ReadLittleEndian32(at_ + 4) == 0;
            at_ += 8;
            return whole;
          }
          const uint8_t* const start = at_;
          Header header;
          if (!ReadHeader(end, header) || (header.tag >> 16) == 0xfffe || (!first && header.tag <= previous))
          {
            return false;
          }
          first = false;
          previous = header.tag;
          // DCMTK refuses a group length of any other VR.
          if ((header.tag & 0xffff) == 0 && !(header.vr[0] == 'U' && header.vr[1] == 'L'))
          {
            return false;
          }
          const bool sequence = header.vr[0] == 'S' && header.vr[1] == 'Q';
          // An indexed tag encoded as a sequence is a puzzle left to DCMTK.
          if (indexed != nullptr && IsIndexedTag(header.tag) && (sequence || header.length == UndefinedLength))
          {
            return false;
          }
          if (header.length == UndefinedLength)
          {
            const bool pixelData = header.tag == PixelData && depth == 0 && header.vr[0] == 'O' &&
                                   (header.vr[1] == 'B' || header.vr[1] == 'W');
            if (!(sequence ? WalkItems(end, true, depth + 1) : pixelData && WalkFragments()))
            {
              return false;
            }
            continue;
          }
          // DCMTK refuses pixel data of a defined length where the syntax says it is encapsulated.
          if (header.length > static_cast<uint64_t>(end - at_) ||
              (encapsulated_ && depth == 0 && header.tag == PixelData))
          {
            return false;
          }
          if (sequence)
          {
            if (!WalkItems(at_ + header.length, false, depth + 1))
            {
              return false;
            }
            continue;
          }
          at_ += header.length;
          if (indexed != nullptr && IsIndexedTag(header.tag))
          {
            indexed->append(reinterpret_cast<const char*>(start), static_cast<size_t>(at_ - start));
          }
        }
        return !untilDelimiter && at_ == end;
      }

      /** The file meta information: explicit VR little endian, group 0002; its transfer syntax UID. */
      bool WalkMetaInformation(std::string& transferSyntax)
      {
        const uint8_t* groupEnd = nullptr;
        while (end_ - at_ >= 8 && ReadLittleEndian16(at_) == 0x0002)
        {
          Header header;
          if (!ReadHeader(end_, header) || header.length == UndefinedLength ||
              header.length > static_cast<uint64_t>(end_ - at_) ||
              (header.tag == 0x00020000 && (header.length != 4 || !(header.vr[0] == 'U' && header.vr[1] == 'L'))))
          {
            return false;
          }
          const char* value = reinterpret_cast<const char*>(at_);
          at_ += header.length;
          if (header.tag == 0x00020000 && groupEnd == nullptr)
          {
            const uint32_t groupLength = ReadLittleEndian32(at_ - 4);
            if (groupLength > static_cast<uint64_t>(end_ - at_))
            {
              return false;
            }
            groupEnd = at_ + groupLength;
          }
          else if (header.tag == 0x00020010)
          {
            transferSyntax.assign(value, header.length);
            while (!transferSyntax.empty() && (transferSyntax.back() == '\0' || transferSyntax.back() == ' '))
            {
              transferSyntax.pop_back();
            }
          }
        }
        // A group length that disagrees with the elements would make DCMTK look for the data set elsewhere.
        return !transferSyntax.empty() && (groupEnd == nullptr || groupEnd == at_);
      }

    public:
      QuickWalk(const void* data, size_t size) :
        at_(static_cast<const uint8_t*>(data)),
        end_(static_cast<const uint8_t*>(data) + size)
      {
      }

      /**
       * True when the whole file was walked: `indexed` then holds the
       * indexed elements, encoded in `transferSyntax` (explicit VR little
       * endian).
       */
      bool Run(std::string& indexed, E_TransferSyntax& transferSyntax)
      {
        static const char Magic[] = { 'D', 'I', 'C', 'M' };
        if (end_ - at_ < 132 || !std::equal(std::begin(Magic), std::end(Magic), at_ + 128))
        {
          return false;
        }
        at_ += 132;
        std::string uid;
        if (!WalkMetaInformation(uid))
        {
          return false;
        }
        const DcmXfer syntax(uid.c_str());
        if (syntax.getXfer() == EXS_Unknown || !syntax.isLittleEndian() || !syntax.isExplicitVR() ||
            syntax.getStreamCompression() != ESC_none)
        {
          return false;
        }
        transferSyntax = syntax.getXfer();
        encapsulated_ = syntax.isEncapsulated();
        indexed.clear();
        return WalkElements(end_, false, 0, &indexed);
      }
    };

    /** Reads the elements that the quick walk gathered, as DCMTK would have read them in the file. */
    bool ReadIndexed(const std::string& elements, E_TransferSyntax syntax, DcmDataset& dataset)
    {
      QuietDcmtk();
      if (!dcmDataDict.isDictionaryLoaded())
      {
        return false;
      }
      DcmInputBufferStream stream;
      stream.setBuffer(elements.data(), static_cast<offile_off_t>(elements.size()));
      stream.setEos();
      dataset.transferInit();
      // On failure DCMTK alone then reads the whole file, and decides.
      const OFCondition status = ReadGuarded([&]
      {
        return dataset.read(stream, syntax, EGL_noChange, std::numeric_limits<Uint32>::max());
      });
      dataset.transferEnd();
      return status.good();
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
    if (!ReadFile(data, size, file, reason, DCM_UndefinedTagKey, true))
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

  bool ParseDicom(const void* data, size_t size, ParsedDicom& result, std::string& reason, bool quick)
  {
    DcmDataset indexed;
    DcmFileFormat head;
    DcmFileFormat whole;
    DcmDataset* read = nullptr;
    std::string elements;
    E_TransferSyntax syntax = EXS_Unknown;
    if (quick && QuickWalk(data, size).Run(elements, syntax) && ReadIndexed(elements, syntax, indexed))
    {
      read = &indexed;
    }
    else
    {
      // Half of a typical header (private groups, the image description)
      // lies beyond the tags the index keeps: parsing stops there when the
      // file is known to be whole.
      if (!ReadFile(data, size, head, reason, FirstTagNotIndexed))
      {
        return false;
      }
      DcmFileFormat* file = &head;
      if (!IsKnownWhole(head, data, size))
      {
        if (!ReadFile(data, size, whole, reason))
        {
          return false;
        }
        file = &whole;
      }
      read = file->getDataset();
    }
    DcmDataset& dataset = *read;
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
