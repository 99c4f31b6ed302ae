#pragma once

#include <list>
#include <memory>
#include <string>

namespace Kestrum
{
  /** Accumulates a long byte sequence in pieces, so that flattening copies each byte once. */
  class SegmentedBuffer
  {
  public:
    static constexpr size_t PENDING_SIZE = 16384;

  private:
    size_t totalSize_;
    std::list<std::string> pieces_;
    std::unique_ptr<char[]> pending_;
    size_t pendingPos_;

    void AddPiece(const void* data, size_t size);
    void FlushPending();

  public:
    SegmentedBuffer();

    SegmentedBuffer(const SegmentedBuffer&) = delete;
    SegmentedBuffer& operator=(const SegmentedBuffer&) = delete;

    void AddChunk(const void* data, size_t size);
    void AddChunk(const std::string& chunk);

    /** Moves everything into the result and empties the buffer, which can be reused. */
    void Flatten(std::string& result);

    /** Bytes stored so far, the pending area included. */
    size_t GetNumBytes() const { return totalSize_ + pendingPos_; }

    /** Number of stored pieces (the pending area excluded). */
    size_t GetNumPieces() const { return pieces_.size(); }
  };
}
