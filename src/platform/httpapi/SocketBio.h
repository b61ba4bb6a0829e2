// An OpenSSL BIO over a non-blocking socket that sends with MSG_NOSIGNAL: OpenSSL's own socket
// BIO writes with write(), which raises SIGPIPE when the peer has gone, and a library must not
// change the process's signal disposition to avoid that.
#pragma once

typedef struct bio_st BIO;

namespace quillon::platform::detail {

// A new BIO over `fd` (not closed with the BIO); null when OpenSSL is out of memory.
BIO* NewSocketBio(int fd);

}  // namespace quillon::platform::detail
