#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace KestrumHost
{
  /**
   * Bytes in a block from malloc: what the host hands a plug-in, which gives it
   * back through the free service. A stored file read into one goes to the
   * plug-in as it is, where a string would be zero-filled, read, then copied.
   */
  struct HostBlock
  {
    struct Free
    {
      void operator()(char* data) const { std::free(data); }
    };

    std::unique_ptr<char, Free> data;
    size_t size = 0;
  };
}
