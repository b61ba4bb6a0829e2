// The socket BIO of TLS connections: recv and send(MSG_NOSIGNAL) with the retry flags OpenSSL
// expects from a non-blocking socket, and end of input reported through BIO_CTRL_EOF.
#include "platform/httpapi/SocketBio.h"

#include <openssl/bio.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

namespace quillon::platform::detail {
namespace {

struct State {
  int fd;
  bool eof = false;
};

bool Transient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int Write(BIO* bio, const char* data, int size) {
  auto* s = static_cast<State*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (size <= 0) return 0;
  ssize_t n = ::send(s->fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
  if (n < 0 && Transient(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int Read(BIO* bio, char* data, int size) {
  auto* s = static_cast<State*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (size <= 0) return 0;
  ssize_t n = ::recv(s->fd, data, static_cast<std::size_t>(size), 0);
  if (n == 0) s->eof = true;
  if (n < 0 && Transient(errno)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

int Puts(BIO* bio, const char* text) {
  std::size_t length = 0;
  while (text[length]) ++length;
  return Write(bio, text, length > INT_MAX ? INT_MAX : static_cast<int>(length));
}

long Control(BIO* bio, int command, long /*number*/, void* pointer) {
  auto* s = static_cast<State*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_FLUSH:  // nothing is buffered here
      return 1;
    case BIO_CTRL_EOF:
      return s && s->eof ? 1 : 0;
    case BIO_C_GET_FD:
      if (!s) return -1;
      if (pointer) *static_cast<int*>(pointer) = s->fd;
      return s->fd;
    default:
      return 0;
  }
}

int Create(BIO* bio) {
  BIO_set_data(bio, nullptr);
  BIO_set_init(bio, 0);
  return 1;
}

int Destroy(BIO* bio) {
  delete static_cast<State*>(BIO_get_data(bio));
  BIO_set_data(bio, nullptr);
  return 1;
}

const BIO_METHOD* Method() {
  static const BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "quillon socket");
    if (!m) return static_cast<BIO_METHOD*>(nullptr);
    BIO_meth_set_write(m, Write);
    BIO_meth_set_read(m, Read);
    BIO_meth_set_puts(m, Puts);
    BIO_meth_set_ctrl(m, Control);
    BIO_meth_set_create(m, Create);
    BIO_meth_set_destroy(m, Destroy);
    return m;
  }();
  return method;
}

}  // namespace

BIO* NewSocketBio(int fd) {
  const BIO_METHOD* method = Method();
  if (!method) return nullptr;
  BIO* bio = BIO_new(method);
  if (!bio) return nullptr;
  BIO_set_data(bio, new State{fd});
  BIO_set_init(bio, 1);
  return bio;
}

}  // namespace quillon::platform::detail
