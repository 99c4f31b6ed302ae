#pragma once

#include <stddef.h>

namespace QuelbyCloud
{
  /** One embedded file: its resource number or directory, its path in that directory, its bytes. */
  struct EmbeddedFileEntry
  {
    int number;          // file resource number, or directory number
    const char* path;    // null for a file resource; "/..." inside a directory
    const char* data;
    size_t size;
  };

  // Both tables are generated at build time from the web application's files.

  /** The file resources. */
  const EmbeddedFileEntry* GetEmbeddedFileEntries(size_t& count);

  /** Every file of every directory resource. */
  const EmbeddedFileEntry* GetEmbeddedDirectoryEntries(size_t& count);
}
