#pragma once

#include <KestrumException.h>
#include <Plugins/KestrumPluginInterface.h>

#include <boost/lexical_cast.hpp>

namespace QuelbyCloud
{
  typedef void (*RestHandler)(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request);

  /**
   * The callback registered with the host for a handler: no exception ever
   * reaches the host. Returns 0, the exception's code, 15 for a failed
   * text-to-number conversion, or 1 for anything else.
   */
  template <RestHandler handler>
  KestrumErrorCode GuardedRestCallback(KestrumRestOutput* output, const char* url, const KestrumHttpRequest* request)
  {
    try
    {
      handler(output, url, request);
      return 0;
    }
    catch (const Kestrum::KestrumException& e)
    {
      return e.GetErrorCode();
    }
    catch (const boost::bad_lexical_cast&)
    {
      return Kestrum::ErrorCode_BadFileFormat;
    }
    catch (...)
    {
      return Kestrum::ErrorCode_Plugin;
    }
  }
}
