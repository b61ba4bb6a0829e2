// The subset of the HTTP Server API 2.0 that the library uses, with its published names,
// structures, constants and result codes. Strings that the real API keeps in UTF-16 are UTF-8
// here (PCSTR, lengths in bytes). The engine behind these calls lives in the .cpp files of
// this folder; nothing here describes how it works.
#pragma once

#include <sys/socket.h>

#include "platform/win32/Guid.h"
#include "platform/win32/Win32Types.h"

using SOCKADDR = sockaddr;
using PSOCKADDR = sockaddr*;
struct SECURITY_ATTRIBUTES;  // never looked at: queues are private to the process
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// ---------------------------------------------------------------------------------------
// Versions, identifiers, initialisation

struct HTTPAPI_VERSION {
  USHORT HttpApiMajorVersion;
  USHORT HttpApiMinorVersion;
};
inline constexpr HTTPAPI_VERSION HTTPAPI_VERSION_1 = {1, 0};
inline constexpr HTTPAPI_VERSION HTTPAPI_VERSION_2 = {2, 0};

inline constexpr ULONG HTTP_INITIALIZE_SERVER = 0x00000001;
inline constexpr ULONG HTTP_INITIALIZE_CONFIG = 0x00000002;

using HTTP_OPAQUE_ID = ULONGLONG;
using HTTP_REQUEST_ID = HTTP_OPAQUE_ID;
using HTTP_CONNECTION_ID = HTTP_OPAQUE_ID;
using HTTP_RAW_CONNECTION_ID = HTTP_OPAQUE_ID;
using HTTP_URL_GROUP_ID = HTTP_OPAQUE_ID;
using HTTP_SERVER_SESSION_ID = HTTP_OPAQUE_ID;
using PHTTP_REQUEST_ID = HTTP_REQUEST_ID*;
using PHTTP_CONNECTION_ID = HTTP_CONNECTION_ID*;
using PHTTP_URL_GROUP_ID = HTTP_URL_GROUP_ID*;
using PHTTP_SERVER_SESSION_ID = HTTP_SERVER_SESSION_ID*;
using HTTP_URL_CONTEXT = ULONGLONG;
inline constexpr HTTP_OPAQUE_ID HTTP_NULL_ID = 0;

// ---------------------------------------------------------------------------------------
// Properties of sessions, URL groups and request queues

enum HTTP_SERVER_PROPERTY {
  HttpServerAuthenticationProperty,
  HttpServerLoggingProperty,
  HttpServerQosProperty,
  HttpServerTimeoutsProperty,
  HttpServerQueueLengthProperty,
  HttpServerStateProperty,
  HttpServer503VerbosityProperty,
  HttpServerBindingProperty,
  HttpServerExtendedAuthenticationProperty,
  HttpServerListenEndpointProperty,
  HttpServerChannelBindProperty,
  HttpServerProtectionLevelProperty,
};

struct HTTP_PROPERTY_FLAGS {
  ULONG Present : 1;
};

struct HTTP_BINDING_INFO {
  HTTP_PROPERTY_FLAGS Flags;
  HANDLE RequestQueueHandle;
};

enum HTTP_QOS_SETTING_TYPE {
  HttpQosSettingTypeBandwidth,
  HttpQosSettingTypeConnectionLimit,
  HttpQosSettingTypeFlowRate,
};

struct HTTP_QOS_SETTING_INFO {
  HTTP_QOS_SETTING_TYPE QosType;
  PVOID QosSetting;
};

struct HTTP_CONNECTION_LIMIT_INFO {
  HTTP_PROPERTY_FLAGS Flags;
  ULONG MaxConnections;
};

struct HTTP_BANDWIDTH_LIMIT_INFO {
  HTTP_PROPERTY_FLAGS Flags;
  ULONG MaxBandwidth;  // bytes per second
};

inline constexpr ULONG HTTP_LIMIT_INFINITE = 0xFFFFFFFF;
inline constexpr ULONG HTTP_MIN_ALLOWED_BANDWIDTH_THROTTLING_RATE = 1024;

// All in seconds except MinSendRate (bytes per second). Zero keeps the default.
struct HTTP_TIMEOUT_LIMIT_INFO {
  HTTP_PROPERTY_FLAGS Flags;
  USHORT EntityBody;
  USHORT DrainEntityBody;
  USHORT RequestQueue;
  USHORT IdleConnection;
  USHORT HeaderWait;
  ULONG MinSendRate;
};

inline constexpr ULONG HTTP_AUTH_ENABLE_BASIC = 0x00000001;
inline constexpr ULONG HTTP_AUTH_ENABLE_DIGEST = 0x00000002;
inline constexpr ULONG HTTP_AUTH_ENABLE_NTLM = 0x00000004;
inline constexpr ULONG HTTP_AUTH_ENABLE_NEGOTIATE = 0x00000008;
inline constexpr ULONG HTTP_AUTH_ENABLE_KERBEROS = 0x00000010;
inline constexpr ULONG HTTP_AUTH_ENABLE_ALL = 0x0000001F;

struct HTTP_SERVER_AUTHENTICATION_DIGEST_PARAMS {
  USHORT DomainNameLength;
  PCSTR DomainName;
  USHORT RealmLength;
  PCSTR Realm;
};

struct HTTP_SERVER_AUTHENTICATION_BASIC_PARAMS {
  USHORT RealmLength;  // bytes
  PCSTR Realm;
};

struct HTTP_SERVER_AUTHENTICATION_INFO {
  HTTP_PROPERTY_FLAGS Flags;
  ULONG AuthSchemes;  // HTTP_AUTH_ENABLE_*
  BOOLEAN ReceiveMutualAuth;
  BOOLEAN ReceiveContextHandle;
  BOOLEAN DisableNTLMCredentialCaching;
  BYTE ExFlags;
  HTTP_SERVER_AUTHENTICATION_DIGEST_PARAMS DigestParams;
  HTTP_SERVER_AUTHENTICATION_BASIC_PARAMS BasicParams;
};

// ---------------------------------------------------------------------------------------
// Logging

enum HTTP_LOGGING_TYPE {
  HttpLoggingTypeW3C,
  HttpLoggingTypeIIS,
  HttpLoggingTypeNCSA,
  HttpLoggingTypeRaw,
};

enum HTTP_LOGGING_ROLLOVER_TYPE {
  HttpLoggingRolloverSize,
  HttpLoggingRolloverDaily,
  HttpLoggingRolloverWeekly,
  HttpLoggingRolloverMonthly,
  HttpLoggingRolloverHourly,
};

inline constexpr ULONG HTTP_MIN_ALLOWED_LOG_FILE_ROLLOVER_SIZE = 1024 * 1024;

inline constexpr ULONG HTTP_LOGGING_FLAG_LOCAL_TIME_ROLLOVER = 0x00000001;
inline constexpr ULONG HTTP_LOGGING_FLAG_USE_UTF8_CONVERSION = 0x00000002;
inline constexpr ULONG HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY = 0x00000004;
inline constexpr ULONG HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY = 0x00000008;

inline constexpr ULONG HTTP_LOG_FIELD_DATE = 0x00000001;
inline constexpr ULONG HTTP_LOG_FIELD_TIME = 0x00000002;
inline constexpr ULONG HTTP_LOG_FIELD_CLIENT_IP = 0x00000004;
inline constexpr ULONG HTTP_LOG_FIELD_USER_NAME = 0x00000008;
inline constexpr ULONG HTTP_LOG_FIELD_SITE_NAME = 0x00000010;
inline constexpr ULONG HTTP_LOG_FIELD_COMPUTER_NAME = 0x00000020;
inline constexpr ULONG HTTP_LOG_FIELD_SERVER_IP = 0x00000040;
inline constexpr ULONG HTTP_LOG_FIELD_METHOD = 0x00000080;
inline constexpr ULONG HTTP_LOG_FIELD_URI_STEM = 0x00000100;
inline constexpr ULONG HTTP_LOG_FIELD_URI_QUERY = 0x00000200;
inline constexpr ULONG HTTP_LOG_FIELD_STATUS = 0x00000400;
inline constexpr ULONG HTTP_LOG_FIELD_WIN32_STATUS = 0x00000800;
inline constexpr ULONG HTTP_LOG_FIELD_BYTES_SENT = 0x00001000;
inline constexpr ULONG HTTP_LOG_FIELD_BYTES_RECV = 0x00002000;
inline constexpr ULONG HTTP_LOG_FIELD_TIME_TAKEN = 0x00004000;
inline constexpr ULONG HTTP_LOG_FIELD_SERVER_PORT = 0x00008000;
inline constexpr ULONG HTTP_LOG_FIELD_USER_AGENT = 0x00010000;
inline constexpr ULONG HTTP_LOG_FIELD_COOKIE = 0x00020000;
inline constexpr ULONG HTTP_LOG_FIELD_REFERER = 0x00040000;
inline constexpr ULONG HTTP_LOG_FIELD_VERSION = 0x00080000;
inline constexpr ULONG HTTP_LOG_FIELD_HOST = 0x00100000;
inline constexpr ULONG HTTP_LOG_FIELD_SUB_STATUS = 0x00200000;

struct HTTP_LOGGING_INFO {
  HTTP_PROPERTY_FLAGS Flags;
  ULONG LoggingFlags;  // HTTP_LOGGING_FLAG_*
  PCSTR SoftwareName;
  USHORT SoftwareNameLength;  // bytes
  USHORT DirectoryNameLength;  // bytes
  PCSTR DirectoryName;
  HTTP_LOGGING_TYPE Format;
  ULONG Fields;  // HTTP_LOG_FIELD_*
  PVOID pExtFields;
  USHORT NumOfExtFields;
  USHORT MaxRecordSize;
  HTTP_LOGGING_ROLLOVER_TYPE RolloverType;
  ULONG RolloverSize;
  PVOID pSecurityDescriptor;
};

enum HTTP_LOG_DATA_TYPE {
  HttpLogDataTypeFields,
};

struct HTTP_LOG_DATA {
  HTTP_LOG_DATA_TYPE Type;
};
using PHTTP_LOG_DATA = HTTP_LOG_DATA*;

enum HTTP_VERB {
  HttpVerbUnparsed,
  HttpVerbUnknown,
  HttpVerbInvalid,
  HttpVerbOPTIONS,
  HttpVerbGET,
  HttpVerbHEAD,
  HttpVerbPOST,
  HttpVerbPUT,
  HttpVerbDELETE,
  HttpVerbTRACE,
  HttpVerbCONNECT,
  HttpVerbTRACK,
  HttpVerbMOVE,
  HttpVerbCOPY,
  HttpVerbPROPFIND,
  HttpVerbPROPPATCH,
  HttpVerbMKCOL,
  HttpVerbLOCK,
  HttpVerbUNLOCK,
  HttpVerbSEARCH,
  HttpVerbMaximum,
};

// Handed with a response send. Fields left empty/zero are taken from the request itself.
struct HTTP_LOG_FIELDS_DATA {
  HTTP_LOG_DATA Base;
  USHORT UserNameLength;
  USHORT UriStemLength;
  USHORT ClientIpLength;
  USHORT ServerNameLength;
  USHORT ServiceNameLength;
  USHORT ServerIpLength;
  USHORT MethodLength;
  USHORT UriQueryLength;
  USHORT HostLength;
  USHORT UserAgentLength;
  USHORT CookieLength;
  USHORT ReferrerLength;
  PCSTR UserName;
  PCSTR UriStem;
  PCSTR ClientIp;
  PCSTR ServerName;
  PCSTR ServiceName;
  PCSTR ServerIp;
  PCSTR Method;
  PCSTR UriQuery;
  PCSTR Host;
  PCSTR UserAgent;
  PCSTR Cookie;
  PCSTR Referrer;
  USHORT ServerPort;
  USHORT ProtocolStatus;
  ULONG Win32Status;
  HTTP_VERB MethodNum;
  USHORT SubStatus;
};

// ---------------------------------------------------------------------------------------
// Requests and responses

struct HTTP_VERSION {
  USHORT MajorVersion;
  USHORT MinorVersion;
};

// Header ids: 0-19 are shared, then the request and the response ids overlap.
enum HTTP_HEADER_ID {
  HttpHeaderCacheControl = 0,
  HttpHeaderConnection = 1,
  HttpHeaderDate = 2,
  HttpHeaderKeepAlive = 3,
  HttpHeaderPragma = 4,
  HttpHeaderTrailer = 5,
  HttpHeaderTransferEncoding = 6,
  HttpHeaderUpgrade = 7,
  HttpHeaderVia = 8,
  HttpHeaderWarning = 9,
  HttpHeaderAllow = 10,
  HttpHeaderContentLength = 11,
  HttpHeaderContentType = 12,
  HttpHeaderContentEncoding = 13,
  HttpHeaderContentLanguage = 14,
  HttpHeaderContentLocation = 15,
  HttpHeaderContentMd5 = 16,
  HttpHeaderContentRange = 17,
  HttpHeaderExpires = 18,
  HttpHeaderLastModified = 19,

  HttpHeaderAccept = 20,
  HttpHeaderAcceptCharset = 21,
  HttpHeaderAcceptEncoding = 22,
  HttpHeaderAcceptLanguage = 23,
  HttpHeaderAuthorization = 24,
  HttpHeaderCookie = 25,
  HttpHeaderExpect = 26,
  HttpHeaderFrom = 27,
  HttpHeaderHost = 28,
  HttpHeaderIfMatch = 29,
  HttpHeaderIfModifiedSince = 30,
  HttpHeaderIfNoneMatch = 31,
  HttpHeaderIfRange = 32,
  HttpHeaderIfUnmodifiedSince = 33,
  HttpHeaderMaxForwards = 34,
  HttpHeaderProxyAuthorization = 35,
  HttpHeaderReferer = 36,
  HttpHeaderRange = 37,
  HttpHeaderTe = 38,
  HttpHeaderTranslate = 39,
  HttpHeaderUserAgent = 40,
  HttpHeaderRequestMaximum = 41,

  HttpHeaderAcceptRanges = 20,
  HttpHeaderAge = 21,
  HttpHeaderEtag = 22,
  HttpHeaderLocation = 23,
  HttpHeaderProxyAuthenticate = 24,
  HttpHeaderRetryAfter = 25,
  HttpHeaderServer = 26,
  HttpHeaderSetCookie = 27,
  HttpHeaderVary = 28,
  HttpHeaderWwwAuthenticate = 29,
  HttpHeaderResponseMaximum = 30,

  HttpHeaderMaximum = 41,
};

struct HTTP_KNOWN_HEADER {
  USHORT RawValueLength;
  PCSTR pRawValue;
};

struct HTTP_UNKNOWN_HEADER {
  USHORT NameLength;
  USHORT RawValueLength;
  PCSTR pName;
  PCSTR pRawValue;
};
using PHTTP_UNKNOWN_HEADER = HTTP_UNKNOWN_HEADER*;

struct HTTP_REQUEST_HEADERS {
  USHORT UnknownHeaderCount;
  PHTTP_UNKNOWN_HEADER pUnknownHeaders;
  USHORT TrailerCount;
  PHTTP_UNKNOWN_HEADER pTrailers;
  HTTP_KNOWN_HEADER KnownHeaders[HttpHeaderRequestMaximum];
};

struct HTTP_RESPONSE_HEADERS {
  USHORT UnknownHeaderCount;
  PHTTP_UNKNOWN_HEADER pUnknownHeaders;
  USHORT TrailerCount;
  PHTTP_UNKNOWN_HEADER pTrailers;
  HTTP_KNOWN_HEADER KnownHeaders[HttpHeaderResponseMaximum];
};

enum HTTP_DATA_CHUNK_TYPE {
  HttpDataChunkFromMemory,
  HttpDataChunkFromFileHandle,
  HttpDataChunkFromFragmentCache,
  HttpDataChunkFromFragmentCacheEx,
  HttpDataChunkMaximum,
};

// Only in-memory chunks are supported; the other types answer ERROR_INVALID_PARAMETER.
struct HTTP_DATA_CHUNK {
  HTTP_DATA_CHUNK_TYPE DataChunkType;
  union {
    struct {
      PVOID pBuffer;
      ULONG BufferLength;
    } FromMemory;
    struct {
      USHORT FragmentNameLength;
      PCSTR pFragmentName;
    } FromFragmentCache;
  };
};
using PHTTP_DATA_CHUNK = HTTP_DATA_CHUNK*;

// The cooked URL is "scheme://host:port/path?query" with the path percent-decoded and
// normalised; pHost, pAbsPath and pQueryString point into pFullUrl (the query keeps its "?").
struct HTTP_COOKED_URL {
  USHORT FullUrlLength;
  USHORT HostLength;
  USHORT AbsPathLength;
  USHORT QueryStringLength;
  PCSTR pFullUrl;
  PCSTR pHost;
  PCSTR pAbsPath;
  PCSTR pQueryString;
};

struct HTTP_TRANSPORT_ADDRESS {
  PSOCKADDR pRemoteAddress;
  PSOCKADDR pLocalAddress;
};

struct HTTP_SSL_CLIENT_CERT_INFO {
  ULONG CertFlags;
  ULONG CertEncodedSize;
  BYTE* pCertEncoded;
  HANDLE Token;
  BOOLEAN CertDeniedByMapper;
};

struct HTTP_SSL_INFO {
  USHORT ServerCertKeySize;
  USHORT ConnectionKeySize;
  ULONG ServerCertIssuerSize;
  ULONG ServerCertSubjectSize;
  PCSTR pServerCertIssuer;
  PCSTR pServerCertSubject;
  HTTP_SSL_CLIENT_CERT_INFO* pClientCertInfo;
  ULONG SslClientCertNegotiated;
};

enum HTTP_REQUEST_INFO_TYPE {
  HttpRequestInfoTypeAuth,
  HttpRequestInfoTypeChannelBind,
  HttpRequestInfoTypeSslProtocol,
  HttpRequestInfoTypeSslTokenBindingDraft,
  HttpRequestInfoTypeSslTokenBinding,
  HttpRequestInfoTypeRequestTiming,
  HttpRequestInfoTypeTcpInfoV0,
  HttpRequestInfoTypeRequestSizing,
  HttpRequestInfoTypeQuicStats,
  HttpRequestInfoTypeTcpInfoV1,
};

struct HTTP_REQUEST_INFO {
  HTTP_REQUEST_INFO_TYPE InfoType;
  ULONG InfoLength;
  PVOID pInfo;
};
using PHTTP_REQUEST_INFO = HTTP_REQUEST_INFO*;

enum HTTP_AUTH_STATUS {
  HttpAuthStatusSuccess,
  HttpAuthStatusNotAuthenticated,
  HttpAuthStatusFailure,
};

enum HTTP_REQUEST_AUTH_TYPE {
  HttpRequestAuthTypeNone = 0,
  HttpRequestAuthTypeBasic,
  HttpRequestAuthTypeDigest,
  HttpRequestAuthTypeNTLM,
  HttpRequestAuthTypeNegotiate,
  HttpRequestAuthTypeKerberos,
};

// For Basic the engine checks no accounts: AuthStatus is Success for well-formed credentials
// and PackedContext holds the decoded "user:password" bytes (PackedContextLength of them,
// NUL-terminated). No Authorization header gives AuthType None and NotAuthenticated.
struct HTTP_REQUEST_AUTH_INFO {
  HTTP_AUTH_STATUS AuthStatus;
  LONG SecStatus;
  ULONG Flags;
  HTTP_REQUEST_AUTH_TYPE AuthType;
  HANDLE AccessToken;
  ULONG ContextAttributes;
  ULONG PackedContextLength;
  ULONG PackedContextType;
  PVOID PackedContext;
  ULONG MutualAuthDataLength;
  PCSTR pMutualAuthData;
  USHORT PackageNameLength;
  PCSTR pPackageName;
};

inline constexpr ULONG HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS = 0x00000001;
inline constexpr ULONG HTTP_REQUEST_FLAG_IP_ROUTED = 0x00000002;

struct HTTP_REQUEST_V1 {
  ULONG Flags;
  HTTP_CONNECTION_ID ConnectionId;
  HTTP_REQUEST_ID RequestId;
  HTTP_URL_CONTEXT UrlContext;
  HTTP_VERSION Version;
  HTTP_VERB Verb;
  USHORT UnknownVerbLength;
  USHORT RawUrlLength;
  PCSTR pUnknownVerb;
  PCSTR pRawUrl;
  HTTP_COOKED_URL CookedUrl;
  HTTP_TRANSPORT_ADDRESS Address;
  HTTP_REQUEST_HEADERS Headers;
  ULONGLONG BytesReceived;
  USHORT EntityChunkCount;
  PHTTP_DATA_CHUNK pEntityChunks;
  HTTP_RAW_CONNECTION_ID RawConnectionId;
  HTTP_SSL_INFO* pSslInfo;
};

struct HTTP_REQUEST_V2 : HTTP_REQUEST_V1 {
  USHORT RequestInfoCount;
  PHTTP_REQUEST_INFO pRequestInfo;
};
using HTTP_REQUEST = HTTP_REQUEST_V2;
using PHTTP_REQUEST = HTTP_REQUEST_V2*;

struct HTTP_RESPONSE_INFO;  // response info entries are not supported (count must be 0)

struct HTTP_RESPONSE_V1 {
  ULONG Flags;
  HTTP_VERSION Version;
  USHORT StatusCode;
  USHORT ReasonLength;
  PCSTR pReason;
  HTTP_RESPONSE_HEADERS Headers;
  USHORT EntityChunkCount;
  PHTTP_DATA_CHUNK pEntityChunks;
};

struct HTTP_RESPONSE_V2 : HTTP_RESPONSE_V1 {
  USHORT ResponseInfoCount;
  HTTP_RESPONSE_INFO* pResponseInfo;
};
using HTTP_RESPONSE = HTTP_RESPONSE_V2;
using PHTTP_RESPONSE = HTTP_RESPONSE_V2*;

enum HTTP_CACHE_POLICY_TYPE {
  HttpCachePolicyNocache,
  HttpCachePolicyUserInvalidates,
  HttpCachePolicyTimeToLive,
  HttpCachePolicyMaximum,
};

struct HTTP_CACHE_POLICY {
  HTTP_CACHE_POLICY_TYPE Policy;
  ULONG SecondsToLive;
};
using PHTTP_CACHE_POLICY = HTTP_CACHE_POLICY*;

// HttpReceiveHttpRequest flags.
inline constexpr ULONG HTTP_RECEIVE_REQUEST_FLAG_COPY_BODY = 0x00000001;
inline constexpr ULONG HTTP_RECEIVE_REQUEST_FLAG_FLUSH_BODY = 0x00000002;
// HttpReceiveRequestEntityBody flags.
inline constexpr ULONG HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER = 0x00000001;

// HttpSendHttpResponse / HttpSendResponseEntityBody flags.
inline constexpr ULONG HTTP_SEND_RESPONSE_FLAG_DISCONNECT = 0x00000001;
inline constexpr ULONG HTTP_SEND_RESPONSE_FLAG_MORE_DATA = 0x00000002;
inline constexpr ULONG HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA = 0x00000004;
inline constexpr ULONG HTTP_SEND_RESPONSE_FLAG_ENABLE_NAGLING = 0x00000008;
inline constexpr ULONG HTTP_SEND_RESPONSE_FLAG_PROCESS_RANGES = 0x00000020;
inline constexpr ULONG HTTP_SEND_RESPONSE_FLAG_OPAQUE = 0x00000040;

// HttpRemoveUrlFromUrlGroup flags.
inline constexpr ULONG HTTP_URL_FLAG_REMOVE_ALL = 0x00000001;

// ---------------------------------------------------------------------------------------
// Service configuration: TLS certificate bindings, process-wide

enum HTTP_SERVICE_CONFIG_ID {
  HttpServiceConfigIPListenList,
  HttpServiceConfigSSLCertInfo,
  HttpServiceConfigUrlAclInfo,
  HttpServiceConfigTimeout,
  HttpServiceConfigCache,
  HttpServiceConfigSslSniCertInfo,
  HttpServiceConfigSslCcsCertInfo,
  HttpServiceConfigMax,
};

// The key is an IPv4 (or IPv6) address and port; 0.0.0.0 covers every address of the port.
struct HTTP_SERVICE_CONFIG_SSL_KEY {
  PSOCKADDR pIpPort;
};

struct HTTP_SERVICE_CONFIG_SSL_PARAM {
  ULONG SslHashLength;  // 20: the SHA-1 thumbprint of the certificate
  PVOID pSslHash;
  GUID AppId;  // kept, not interpreted
  PCSTR pSslCertStoreName;  // null or empty: "MY"
  DWORD DefaultCertCheckMode;
  DWORD DefaultRevocationFreshnessTime;
  DWORD DefaultRevocationUrlRetrievalTimeout;
  PCSTR pDefaultSslCtlIdentifier;
  PCSTR pDefaultSslCtlStoreName;
  DWORD DefaultFlags;
};

struct HTTP_SERVICE_CONFIG_SSL_SET {
  HTTP_SERVICE_CONFIG_SSL_KEY KeyDesc;
  HTTP_SERVICE_CONFIG_SSL_PARAM ParamDesc;
};

// ---------------------------------------------------------------------------------------
// Functions. Results are Win32 codes: NO_ERROR, ERROR_IO_PENDING (997) for an overlapped call
// that will complete through the completion port bound to the queue, ERROR_MORE_DATA (234),
// ERROR_HANDLE_EOF (38), ERROR_CONNECTION_INVALID (1229), ERROR_ALREADY_EXISTS (183),
// ERROR_OPERATION_ABORTED (995) for a queue closed or shut down under a waiting receive,
// ERROR_NOT_FOUND (1168) for a certificate binding whose thumbprint is in no store.

ULONG HttpInitialize(HTTPAPI_VERSION Version, ULONG Flags, PVOID pReserved);
ULONG HttpTerminate(ULONG Flags, PVOID pReserved);

ULONG HttpCreateServerSession(HTTPAPI_VERSION Version, PHTTP_SERVER_SESSION_ID pServerSessionId,
                              ULONG Reserved);
ULONG HttpCloseServerSession(HTTP_SERVER_SESSION_ID ServerSessionId);
ULONG HttpSetServerSessionProperty(HTTP_SERVER_SESSION_ID ServerSessionId,
                                   HTTP_SERVER_PROPERTY Property, PVOID pPropertyInformation,
                                   ULONG PropertyInformationLength);

ULONG HttpCreateUrlGroup(HTTP_SERVER_SESSION_ID ServerSessionId, PHTTP_URL_GROUP_ID pUrlGroupId,
                         ULONG Reserved);
ULONG HttpCloseUrlGroup(HTTP_URL_GROUP_ID UrlGroupId);
ULONG HttpSetUrlGroupProperty(HTTP_URL_GROUP_ID UrlGroupId, HTTP_SERVER_PROPERTY Property,
                              PVOID pPropertyInformation, ULONG PropertyInformationLength);
ULONG HttpAddUrlToUrlGroup(HTTP_URL_GROUP_ID UrlGroupId, PCSTR pFullyQualifiedUrl,
                           HTTP_URL_CONTEXT UrlContext, ULONG Reserved);
ULONG HttpRemoveUrlFromUrlGroup(HTTP_URL_GROUP_ID UrlGroupId, PCSTR pFullyQualifiedUrl,
                                ULONG Flags);

// The queue handle may also be closed with CloseHandle.
ULONG HttpCreateRequestQueue(HTTPAPI_VERSION Version, PCSTR pName,
                             PSECURITY_ATTRIBUTES pSecurityAttributes, ULONG Flags,
                             HANDLE* pReqQueueHandle);
ULONG HttpCloseRequestQueue(HANDLE ReqQueueHandle);
ULONG HttpShutdownRequestQueue(HANDLE ReqQueueHandle);
// HttpServerQueueLengthProperty (a ULONG) is the one property supported here.
ULONG HttpSetRequestQueueProperty(HANDLE ReqQueueHandle, HTTP_SERVER_PROPERTY Property,
                                  PVOID pPropertyInformation, ULONG PropertyInformationLength,
                                  ULONG Reserved, PVOID pReserved);

ULONG HttpReceiveHttpRequest(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                             PHTTP_REQUEST pRequestBuffer, ULONG RequestBufferLength,
                             ULONG* pBytesReturned, LPOVERLAPPED pOverlapped);
// An addition of this engine: on an opaque stream an overlapped receive with BufferLength 0
// (pBuffer may be null) completes with 0 bytes once bytes are waiting, which a receive with
// room then returns at once; it fails when the stream ends. The waiting connection holds no
// buffer for it.
ULONG HttpReceiveRequestEntityBody(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                                   PVOID pBuffer, ULONG BufferLength, ULONG* pBytesReturned,
                                   LPOVERLAPPED pOverlapped);
ULONG HttpSendHttpResponse(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                           PHTTP_RESPONSE pHttpResponse, PHTTP_CACHE_POLICY pCachePolicy,
                           ULONG* pBytesSent, PVOID pReserved1, ULONG Reserved2,
                           LPOVERLAPPED pOverlapped, PHTTP_LOG_DATA pLogData);
ULONG HttpSendResponseEntityBody(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                                 USHORT EntityChunkCount, PHTTP_DATA_CHUNK pEntityChunks,
                                 ULONG* pBytesSent, PVOID pReserved1, ULONG Reserved2,
                                 LPOVERLAPPED pOverlapped, PHTTP_LOG_DATA pLogData);
ULONG HttpWaitForDisconnect(HANDLE ReqQueueHandle, HTTP_CONNECTION_ID ConnectionId,
                            LPOVERLAPPED pOverlapped);
ULONG HttpCancelHttpRequest(HANDLE ReqQueueHandle, HTTP_REQUEST_ID RequestId,
                            LPOVERLAPPED pOverlapped);

// This engine's own addition: the bytes written on a connection that its peer has not taken
// yet, and those of every connection together (either pointer may be null). Lets a sender
// see backpressure before the send-queue caps drop a slow reader.
ULONG HttpQueryConnectionSendQueue(HANDLE ReqQueueHandle, HTTP_CONNECTION_ID ConnectionId,
                                   ULONGLONG* pQueuedBytes, ULONGLONG* pProcessQueuedBytes);

ULONG HttpSetServiceConfiguration(HANDLE ServiceHandle, HTTP_SERVICE_CONFIG_ID ConfigId,
                                  PVOID pConfigInformation, ULONG ConfigInformationLength,
                                  LPOVERLAPPED pOverlapped);
ULONG HttpDeleteServiceConfiguration(HANDLE ServiceHandle, HTTP_SERVICE_CONFIG_ID ConfigId,
                                     PVOID pConfigInformation, ULONG ConfigInformationLength,
                                     LPOVERLAPPED pOverlapped);
