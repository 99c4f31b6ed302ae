#pragma once

#include <stdint.h>

namespace Kestrum
{
  /** The host's error codes; the numbers are part of the contract with the host. */
  enum ErrorCode : int32_t
  {
    ErrorCode_InternalError = -1,
    ErrorCode_Success = 0,
    ErrorCode_Plugin = 1,
    ErrorCode_NotImplemented = 2,
    ErrorCode_ParameterOutOfRange = 3,
    ErrorCode_NotEnoughMemory = 4,
    ErrorCode_BadParameterType = 5,
    ErrorCode_BadSequenceOfCalls = 6,
    ErrorCode_InexistentItem = 7,
    ErrorCode_BadRequest = 8,
    ErrorCode_NetworkProtocol = 9,
    ErrorCode_SystemCommand = 10,
    ErrorCode_Database = 11,
    ErrorCode_UriSyntax = 12,
    ErrorCode_InexistentFile = 13,
    ErrorCode_CannotWriteFile = 14,
    ErrorCode_BadFileFormat = 15,
    ErrorCode_Timeout = 16,
    ErrorCode_UnknownResource = 17,
    ErrorCode_IncompatibleDatabaseVersion = 18,
    ErrorCode_FullStorage = 19,
    ErrorCode_CorruptedFile = 20,
    ErrorCode_InexistentTag = 21,
    ErrorCode_ReadOnly = 22,
    ErrorCode_IncompatibleImageFormat = 23,
    ErrorCode_IncompatibleImageSize = 24,
    ErrorCode_SharedLibrary = 25,
    ErrorCode_UnknownPluginService = 26,
    ErrorCode_UnknownDicomTag = 27,
    ErrorCode_BadJson = 28,
    ErrorCode_Unauthorized = 29,
    ErrorCode_BadFont = 30,
    ErrorCode_DatabasePlugin = 31,
    ErrorCode_StorageAreaPlugin = 32,
    ErrorCode_EmptyRequest = 33,
    ErrorCode_NotAcceptable = 34,
    ErrorCode_NullPointer = 35,
    ErrorCode_DatabaseUnavailable = 36,
    ErrorCode_CanceledJob = 37,
    ErrorCode_BadGeometry = 38,
    ErrorCode_SslInitialization = 39,
    ErrorCode_DiscontinuedAbi = 40,
    ErrorCode_SQLiteNotOpened = 1000,
    ErrorCode_SQLiteCannotStep = 1010,
    ErrorCode_DirectoryOverFile = 2000,
    ErrorCode_FileStorageCannotWrite = 2001,
    ErrorCode_DirectoryExpected = 2002,
    ErrorCode_HttpPortInUse = 2003,
    ErrorCode_DicomPortInUse = 2004,
    ErrorCode_BadHttpStatusInRest = 2005,
    ErrorCode_RegularFileExpected = 2006,
    ErrorCode_BadApplicationEntityTitle = 2009,
    ErrorCode_CannotStoreInstance = 2018,
    ErrorCode_UnsupportedMediaType = 3000,
    ErrorCode_START_PLUGINS = 1000000
  };

  /** Text of an error code, total over all integers. */
  const char* DescribeErrorCode(int32_t code);

  /** HTTP status that the host answers for an error code, total over all integers. */
  int ErrorCodeToHttpStatus(int32_t code);
}
