#include "SegmentedBuffer.h"

#include <cstring>

namespace Kestrum
{
  SegmentedBuffer::SegmentedBuffer() :
    totalSize_(0),
    pending_(std::make_unique<char[]>(PENDING_SIZE)),
    pendingPos_(0)
  {
  }

  void SegmentedBuffer::AddPiece(const void* data, size_t size)
  {
    pieces_.emplace_back(static_cast<const char*>(data), size);
    totalSize_ += size;
  }

  void SegmentedBuffer::FlushPending()
  {
    if (pendingPos_ > 0)
    {
      AddPiece(pending_.get(), pendingPos_);
      pendingPos_ = 0;
    }
  }

  void SegmentedBuffer::AddChunk(const void* data, size_t size)
  {
    if (size == 0)
    {
      return;
    }

    if (pendingPos_ + size <= PENDING_SIZE)
    {
      memcpy(pending_.get() + pendingPos_, data, size);
      pendingPos_ += size;
      return;
    }

    FlushPending();
    if (size < PENDING_SIZE)
    {
      memcpy(pending_.get(), data, size);
      pendingPos_ = size;
    }
    else
    {
      AddPiece(data, size);   // large chunks skip the pending area: one copy now, one at flattening
    }
  }

  void SegmentedBuffer::AddChunk(const std::string& chunk)
  {
    if (!chunk.empty())
    {
      AddChunk(chunk.data(), chunk.size());
    }
  }

  void SegmentedBuffer::Flatten(std::string& result)
  {
    FlushPending();

    result.resize(totalSize_);
    size_t pos = 0;
    for (const std::string& piece : pieces_)
    {
      if (!piece.empty())
      {
        memcpy(&result[pos], piece.data(), piece.size());
        pos += piece.size();
      }
    }

    pieces_.clear();
    totalSize_ = 0;
    pendingPos_ = 0;
  }
}
