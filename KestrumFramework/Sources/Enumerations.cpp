#include "Enumerations.h"

namespace Kestrum
{
  const char* DescribeErrorCode(int32_t code)
  {
    switch (code)
    {
      case -1: return "Internal error";
      case 0: return "Success";
      case 1: return "Error encountered within the plugin engine";
      case 2: return "Not implemented yet";
      case 3: return "Parameter out of range";
      case 4: return "The server hosting Kestrum is running out of memory";
      case 5: return "Bad type for a parameter";
      case 6: return "Bad sequence of calls";
      case 7: return "Accessing an inexistent item";
      case 8: return "Bad request";
      case 9: return "Error in the network protocol";
      case 10: return "Error while calling a system command";
      case 11: return "Error with the database engine";
      case 12: return "Badly formatted URI";
      case 13: return "Inexistent file";
      case 14: return "Cannot write to file";
      case 15: return "Bad file format";
      case 16: return "Timeout";
      case 17: return "Unknown resource";
      case 18: return "Incompatible version of the database";
      case 19: return "The file storage is full";
      case 20: return "Corrupted file (e.g. inconsistent MD5 hash)";
      case 21: return "Inexistent tag";
      case 22: return "Cannot modify a read-only data structure";
      case 23: return "Incompatible format of the images";
      case 24: return "Incompatible size of the images";
      case 25: return "Error while using a shared library (plugin)";
      case 26: return "Plugin invoking an unknown service";
      case 27: return "Unknown DICOM tag";
      case 28: return "Cannot parse a JSON document";
      case 29: return "Bad credentials were provided to an HTTP request";
      case 30: return "Badly formatted font file";
      case 31: return "The plugin implementing a custom database back-end does not fulfill the proper interface";
      case 32: return "Error in the plugin implementing a custom storage area";
      case 33: return "The request is empty";
      case 34: return "Cannot send a response which is acceptable according to the Accept HTTP header";
      case 35: return "Cannot handle a NULL pointer";
      case 36: return "The database is currently not available (probably a transient situation)";
      case 37: return "This job was canceled";
      case 38: return "Geometry error encountered in Pelmar";
      case 39: return "Cannot initialize SSL encryption, check out your certificates";
      case 40: return "Calling a function that has been removed from the Kestrum Framework";
      case 1000: return "SQLite: The database is not opened";
      case 1001: return "SQLite: Connection is already open";
      case 1002: return "SQLite: Unable to open the database";
      case 1003: return "SQLite: This cached statement is already being referred to";
      case 1004: return "SQLite: Cannot execute a command";
      case 1005: return "SQLite: Rolling back a nonexistent transaction (have you called Begin()?)";
      case 1006: return "SQLite: Committing a nonexistent transaction";
      case 1007: return "SQLite: Unable to register a function";
      case 1008: return "SQLite: Unable to flush the database";
      case 1009: return "SQLite: Cannot run a cached statement";
      case 1010: return "SQLite: Cannot step over a cached statement";
      case 1011: return "SQLite: Bing a value while out of range (serious error)";
      case 1012: return "SQLite: Cannot prepare a cached statement";
      case 1013: return "SQLite: Beginning the same transaction twice";
      case 1014: return "SQLite: Failure when committing the transaction";
      case 1015: return "SQLite: Cannot start a transaction";
      case 2000: return "The directory to be created is already occupied by a regular file";
      case 2001: return "Unable to create a subdirectory or a file in the file storage";
      case 2002: return "The specified path does not point to a directory";
      case 2003: return "The TCP port of the HTTP server is privileged or already in use";
      case 2004: return "The TCP port of the DICOM server is privileged or already in use";
      case 2005: return "This HTTP status is not allowed in a REST API";
      case 2006: return "The specified path does not point to a regular file";
      case 2007: return "Unable to get the path to the executable";
      case 2008: return "Cannot create a directory";
      case 2009: return "An application entity title (AET) cannot be empty or be longer than 16 characters";
      case 2010: return "No request handler factory for DICOM C-FIND SCP";
      case 2011: return "No request handler factory for DICOM C-MOVE SCP";
      case 2012: return "No request handler factory for DICOM C-STORE SCP";
      case 2013: return "No application entity filter";
      case 2014: return "DicomUserConnection: Unable to find the SOP class and instance";
      case 2015: return "DicomUserConnection: No acceptable presentation context for modality";
      case 2016: return "DicomUserConnection: The C-FIND command is not supported by the remote SCP";
      case 2017: return "DicomUserConnection: The C-MOVE command is not supported by the remote SCP";
      case 2018: return "Cannot store an instance";
      case 2019: return "Only string values are supported when creating DICOM instances";
      case 2020: return "Trying to override a value inherited from a parent module";
      case 2021: return "Use \"Content\" to inject an image into a new DICOM instance";
      case 2022: return "No payload is present for one instance in the series";
      case 2023: return "The payload of the DICOM instance must be specified according to Data URI scheme";
      case 2024: return "Trying to attach a new DICOM instance to an inexistent resource";
      case 2025: return "Trying to attach a new DICOM instance to an instance (must be a series, study or patient)";
      case 2026: return "Unable to get the encoding of the parent resource";
      case 2027: return "Unknown modality";
      case 2028: return "Bad ordering of filters in a job";
      case 2029: return "Cannot convert the given JSON object to a Lua table";
      case 2030: return "Cannot create the Lua context";
      case 2031: return "Cannot execute a Lua command";
      case 2032: return "Arguments cannot be pushed after the Lua function is executed";
      case 2033: return "The Lua function does not give the expected number of outputs";
      case 2034: return "The Lua function is not a predicate (only true/false outputs allowed)";
      case 2035: return "The Lua function does not return a string";
      case 2036: return "Another plugin has already registered a custom storage area";
      case 2037: return "Another plugin has already registered a custom database back-end";
      case 2038: return "Plugin trying to call the database during its initialization";
      case 2039: return "Kestrum has been built without SSL support";
      case 2040: return "Unable to order the slices of the series";
      case 2041: return "No request handler factory for DICOM C-Find Modality SCP";
      case 2042: return "Cannot override the value of a tag that already exists";
      case 2043: return "No request handler factory for DICOM N-ACTION SCP (storage commitment)";
      case 2044: return "No request handler factory for DICOM C-GET SCP";
      case 3000: return "Unsupported media type";
      default:
        return (code >= ErrorCode_START_PLUGINS) ?
          "Error encountered within some plugin" : "Unknown error code";
    }
  }

  int ErrorCodeToHttpStatus(int32_t code)
  {
    switch (code)
    {
      case 0:
        return 200;
      case 3: case 5: case 8: case 12: case 15: case 28:
      case 2019: case 2020: case 2021: case 2022: case 2023: case 2024: case 2025:
        return 400;
      case 29:
        return 401;
      case 7: case 13: case 17: case 21:
        return 404;
      case 34:
        return 406;
      case 3000:
        return 415;
      case 36:
        return 503;
      default:
        return 500;
    }
  }
}
