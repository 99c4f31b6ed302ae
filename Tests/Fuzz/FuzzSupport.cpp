#include "FuzzSupport.h"

#include <json/reader.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace QuelbyCloud
{
  namespace Fuzzing
  {
    void Fail(const char* target, const std::string& what)
    {
      fprintf(stderr, "%s: %s\n", target, what.c_str());
      fflush(stderr);
      abort();
    }


    bool ParseIndependently(Json::Value& target, const uint8_t* data, size_t size)
    {
      Json::CharReaderBuilder builder;
      builder["allowComments"] = true;
      builder["collectComments"] = false;
      std::unique_ptr<Json::CharReader> reader(builder.newCharReader());

      const char* begin = reinterpret_cast<const char*>(data);
      std::string errors;
      try
      {
        return reader->parse(begin, begin + size, &target, &errors);
      }
      catch (const Json::Exception&)
      {
        return false;
      }
    }
  }
}
