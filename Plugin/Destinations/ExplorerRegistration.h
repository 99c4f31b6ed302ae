#pragma once

#include <string>

namespace QuelbyCloud
{
  /** True when the host's DICOMweb plug-in is loaded and answers at the root it fills in. */
  bool FindDicomWebRoot(std::string& root);

  /**
   * True when the name can be put into a host URI as it is: only letters,
   * digits, ".", "_" and "-", and neither "." nor "..".
   */
  bool IsSafeModalityName(const std::string& name);
}
