/**
 * The contract between a Kestrum host and its plug-ins: the context record,
 * the records exchanged with the host, the parameter record of every service
 * and the callback types. Included by the plug-in, the in-process test host
 * and kestrum-host alike, so that both sides always agree on every layout.
 */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  define KESTRUM_PLUGINS_API __declspec(dllexport)
#else
#  define KESTRUM_PLUGINS_API __attribute__((visibility("default")))
#endif

/** Error code: 0 for success, else a code of the host's error table. */
typedef int32_t KestrumErrorCode;

typedef enum
{
  KestrumService_LogInformation = 1,
  KestrumService_LogWarning = 2,
  KestrumService_LogError = 3,
  KestrumService_SetPluginProperty = 7,
  KestrumService_GetGlobalProperty = 8,
  KestrumService_SetGlobalProperty = 9,
  KestrumService_GetConfiguration = 13,
  KestrumService_CallHttpClient = 27,
  KestrumService_RegisterOnChangeCallback = 1003,
  KestrumService_RegisterRestCallbackNoLock = 1004,
  KestrumService_AnswerBuffer = 2000,
  KestrumService_SendMethodNotAllowed = 2005,
  KestrumService_RestApiGet = 3001,
  KestrumService_RestApiDelete = 3003,
  KestrumService_RestApiPut = 3004,
  KestrumService_RestApiGetAfterPlugins = 3010,
  KestrumService_RestApiDeleteAfterPlugins = 3012,
  KestrumService_RestApiPutAfterPlugins = 3013
} KestrumService;

typedef enum
{
  KestrumHttpMethod_Get = 1,
  KestrumHttpMethod_Post = 2,
  KestrumHttpMethod_Put = 3,
  KestrumHttpMethod_Delete = 4
} KestrumHttpMethod;

typedef enum
{
  KestrumProperty_Description = 1,
  KestrumProperty_RootUri = 2,
  KestrumProperty_ExplorerExtension = 3
} KestrumProperty;

typedef enum
{
  KestrumChangeType_CompletedSeries = 0,
  KestrumChangeType_Deleted = 1,
  KestrumChangeType_NewChildInstance = 2,
  KestrumChangeType_NewInstance = 3,
  KestrumChangeType_NewPatient = 4,
  KestrumChangeType_NewSeries = 5,
  KestrumChangeType_NewStudy = 6,
  KestrumChangeType_StablePatient = 7,
  KestrumChangeType_StableSeries = 8,
  KestrumChangeType_StableStudy = 9,
  KestrumChangeType_KestrumStarted = 10,
  KestrumChangeType_KestrumStopped = 11
} KestrumChangeType;

typedef enum
{
  KestrumResourceType_Patient = 0,
  KestrumResourceType_Study = 1,
  KestrumResourceType_Series = 2,
  KestrumResourceType_Instance = 3,
  KestrumResourceType_None = 4
} KestrumResourceType;

/** A block allocated by the host; given back with the context's free function. */
typedef struct
{
  void* data;
  uint32_t size;
} KestrumMemoryBuffer;

/** One HTTP request handed to a REST callback. */
typedef struct
{
  int32_t method;               /* KestrumHttpMethod */
  uint32_t groupsCount;
  const char* const* groups;    /* captured groups of the route's expression */
  uint32_t getCount;
  const char* const* getKeys;   /* query arguments */
  const char* const* getValues;
  const void* body;
  uint32_t bodySize;
} KestrumHttpRequest;

/** Opaque handle through which a REST callback answers. */
typedef struct _KestrumRestOutput_t KestrumRestOutput;

typedef struct _KestrumPluginContext_t
{
  void* pluginsManager;          /* host's private handle, never read by plug-ins */
  const char* kestrumVersion;
  void (*Free)(void* buffer);
  KestrumErrorCode (*InvokeService)(struct _KestrumPluginContext_t* context,
                                    int32_t service,
                                    const void* params);
} KestrumPluginContext;

typedef KestrumErrorCode (*KestrumRestCallback)(KestrumRestOutput* output,
                                                const char* url,
                                                const KestrumHttpRequest* request);

typedef KestrumErrorCode (*KestrumOnChangeCallback)(int32_t changeType,
                                                    int32_t resourceType,
                                                    const char* resourceId);

/* Services 1, 2, 3: the parameter is the text itself (const char*). */

/* KestrumService_SetPluginProperty */
typedef struct
{
  const char* plugin;
  int32_t property;             /* KestrumProperty */
  const char* value;
} _KestrumSetPluginProperty;

/* KestrumService_GetGlobalProperty */
typedef struct
{
  char** result;                /* out: host text */
  int32_t property;
  const char* value;            /* default value */
} _KestrumGetGlobalProperty;

/* KestrumService_SetGlobalProperty */
typedef struct
{
  void* reserved;               /* null */
  int32_t property;
  const char* value;
} _KestrumSetGlobalProperty;

/* KestrumService_GetConfiguration */
typedef struct
{
  char** result;                /* out: host text, the configuration as JSON */
  const void* reserved;         /* null */
} _KestrumGetConfiguration;

/* KestrumService_CallHttpClient: one outgoing HTTP request, 17 fields */
typedef struct
{
  KestrumMemoryBuffer* answerBody;     /* out */
  KestrumMemoryBuffer* answerHeaders;  /* out: JSON object of texts */
  uint16_t* httpStatus;                /* out */
  int32_t method;                      /* KestrumHttpMethod */
  const char* url;
  uint32_t headersCount;
  const char* const* headersKeys;
  const char* const* headersValues;
  const void* body;
  uint32_t bodySize;
  const char* username;
  const char* password;
  uint32_t timeout;                    /* seconds, 0 = the host's default */
  const char* certificateFile;
  const char* certificateKeyFile;
  const char* certificateKeyPassword;
  uint8_t pkcs11;
} _KestrumCallHttpClient;

/* KestrumService_RegisterOnChangeCallback */
typedef struct
{
  KestrumOnChangeCallback callback;
} _KestrumOnChangeCallback;

/* KestrumService_RegisterRestCallbackNoLock */
typedef struct
{
  const char* pathRegularExpression;
  KestrumRestCallback callback;
} _KestrumRestCallback;

/* KestrumService_AnswerBuffer */
typedef struct
{
  KestrumRestOutput* output;
  const void* answer;
  uint32_t answerSize;
  const char* mimeType;
} _KestrumAnswerBuffer;

/* KestrumService_SendMethodNotAllowed */
typedef struct
{
  KestrumRestOutput* output;
  const char* allowedMethods;
} _KestrumOutputAllowedMethods;

/* KestrumService_RestApiGet, KestrumService_RestApiGetAfterPlugins */
typedef struct
{
  KestrumMemoryBuffer* target;  /* out */
  const char* uri;
} _KestrumRestApiGet;

/* KestrumService_RestApiDelete, KestrumService_RestApiDeleteAfterPlugins: the parameter is the URI itself (const char*). */

/* KestrumService_RestApiPut, KestrumService_RestApiPutAfterPlugins */
typedef struct
{
  KestrumMemoryBuffer* target;  /* out */
  const char* uri;
  const void* body;
  uint32_t bodySize;
} _KestrumRestApiPut;

/* The four entry points that every plug-in exports under these names. */
typedef int32_t (*KestrumPluginInitializeFunction)(KestrumPluginContext* context);
typedef void (*KestrumPluginFinalizeFunction)(void);
typedef const char* (*KestrumPluginGetNameFunction)(void);
typedef const char* (*KestrumPluginGetVersionFunction)(void);

#ifdef __cplusplus
}
#endif
