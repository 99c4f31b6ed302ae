#pragma once

#include <map>
#include <set>
#include <string>

namespace QuelbyCloud
{
  /** Why a request to a destination failed, in plain words, and whether sending again can help. */
  struct RequestFailure
  {
    std::string cause;
    bool permanent = false;   // the destination refused what it was sent, for good
  };


  /** What one attempt at a batch achieved, instance by instance. */
  struct DeliveryReport
  {
    std::set<std::string> confirmed;               // SOP Instance UIDs the destination confirmed
    std::map<std::string, std::string> refused;    // refused for good: SOP Instance UID -> reason
    std::string failure;                           // why the others were not confirmed ("" when none)

    /** The first failure of the attempt is the one that explains it. */
    void Fail(const std::string& cause)
    {
      if (failure.empty())
      {
        failure = cause;
      }
    }
  };
}
