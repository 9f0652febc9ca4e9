// fixed-body-server: the reference of bench/update_server.sh, a minimal
// cpp-httplib server that answers every GET with the same short body. It has
// the transport settings that any server under load needs (TCP_NODELAY, a
// worker per connection, the system's listen backlog), so that the bench's
// ratio measures the update server's own work per request.
// Usage: fixed-body-server; prints "listening http://127.0.0.1:PORT/" and
// serves until a signal ends it.
#include <httplib.h>
#include <sys/socket.h>

#include <climits>
#include <cstdio>

namespace {

class Reference : public httplib::Server {
 public:
  // cpp-httplib listens with a backlog of 5; the kernel caps this one at the
  // system's maximum.
  bool RaiseBacklog() { return ::listen(svr_sock_, INT_MAX) == 0; }
};

}  // namespace

int main() {
  Reference server;
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(1000);
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  server.Get(".*", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("ok\n100;1.0.0\n101;1.0.1\n", "text/plain");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0 || !server.RaiseBacklog()) {
    perror("fixed-body-server: cannot listen");
    return 1;
  }
  printf("listening http://127.0.0.1:%d/\n", port);
  fflush(stdout);
  return server.listen_after_bind() ? 0 : 1;
}
