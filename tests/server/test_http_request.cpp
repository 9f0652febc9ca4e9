// HTTP transport against a scripted loopback server and the update server
// over TLS: exact URL texts and log lines, error statuses, unreachable and
// stalled servers, the body limit, and refusal of an unverifiable certificate.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "HTTPRequest.h"
#include "LogCapture.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

namespace {

// Restores the process-wide limits when a test that narrows them ends.
struct ScopedLimits {
  HTTPLimits saved = HTTPRequest::GetLimits();
  explicit ScopedLimits(const HTTPLimits& limits) { HTTPRequest::SetLimits(limits); }
  ~ScopedLimits() { HTTPRequest::SetLimits(saved); }
};

std::string GetError(const std::string& url,
                     const std::map<std::string, std::string>& params = {}) {
  try {
    HTTPRequest::GET(url.c_str(), params);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(HTTPRequest, UrlTextsAndQueryOrder) {
  ScriptedServer server;
  server.SetReply(200, "ok\n");
  HTTPResponse plain = HTTPRequest::GET(server.Url().c_str(), {});
  EXPECT_EQ(server.LastTarget(), "/cgi/u");
  EXPECT_EQ(std::string(plain.get_request()), server.Url());

  HTTPResponse r = HTTPRequest::GET(server.Url().c_str(), {{"b", "2"}, {"a", "1"}});
  EXPECT_EQ(server.LastTarget(), "/cgi/u?a=1&b=2&");
  EXPECT_EQ(std::string(r.get_request()), server.Url() + "?a=1&b=2&");
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_STREQ(r.get_response(), "ok\n");
}

TEST(HTTPRequest, ErrorStatusIsNoException) {
  ScriptedServer server;
  server.SetReply(404, "not here");
  HTTPResponse r = HTTPRequest::GET(server.Url().c_str(), {});
  EXPECT_EQ(r.get_status(), 404);
  EXPECT_STREQ(r.get_response(), "not here");
}

TEST(HTTPRequest, BodyWithoutLengthArrivesWhole) {
  ScriptedServer server;
  ScriptedServer::Reply reply;
  reply.body.assign(300000, 'x');
  reply.body[1000] = '\0';  // bodies may hold NUL bytes
  reply.withLength = false;
  server.SetReply(reply);
  HTTPResponse r = HTTPRequest::GET(server.Url().c_str(), {});
  EXPECT_EQ(r.get_length(), reply.body.size());
  EXPECT_EQ(r.take_response(), reply.body);
  EXPECT_EQ(r.get_length(), 0u);
}

TEST(HTTPRequest, UnreachableServerThrowsLibcurlText) {
  int port;
  {
    ScriptedServer closed;  // a port that was free a moment ago and is closed now
    port = std::stoi(closed.Url().substr(closed.Url().rfind(':') + 1));
  }
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
  EXPECT_EQ(GetError(url), curl_easy_strerror(CURLE_COULDNT_CONNECT));
}

TEST(HTTPRequest, LogLinesOfATransfer) {
  ScriptedServer server;
  server.SetReply(200, "ok\n");
  LogCapture log(DEBUG_ServerComm);
  HTTPResponse r = HTTPRequest::GET(server.Url().c_str(), {{"op", "hi"}});
  char address[16];
  snprintf(address, sizeof address, "%08X", unsigned(uintptr_t(&r)));
  // The chunk is shown right-aligned in 100 columns, never read past its end.
  std::string expected = "GET(" + server.Url() + "?op=hi&)\n" + "rcv_data called (..., 1, 3, " +
                         address + ") [" + std::string(97, ' ') + "ok\n]\n" +
                         "rcv_data returns 3\n";
  EXPECT_EQ(log.Text(), expected);

  // A transport failure logs nothing but the request; the callers log its text.
  int port;
  {
    ScriptedServer closed;
    port = std::stoi(closed.Url().substr(closed.Url().rfind(':') + 1));
  }
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
  log.Clear();
  EXPECT_EQ(GetError(url), curl_easy_strerror(CURLE_COULDNT_CONNECT));
  EXPECT_EQ(log.Text(), "GET(" + url + ")\n");
}

TEST(HTTPRequest, UrlSchemeIsTheCallersChoice) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "reply", "ok\nfrom a file\n");
  HTTPResponse r = HTTPRequest::GET(("file://" + dir / "reply").c_str(), {});
  EXPECT_EQ(r.get_status(), 0);
  EXPECT_STREQ(r.get_response(), "ok\nfrom a file\n");
}

TEST(HTTPRequest, StalledServerIsAbandoned) {
  HTTPLimits limits;
  limits.stallSeconds = 1;
  ScopedLimits scoped(limits);
  ScriptedServer server;
  ScriptedServer::Reply reply;
  reply.stall = true;
  server.SetReply(reply);
  EXPECT_EQ(GetError(server.Url()), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
}

TEST(HTTPRequest, OversizedBodyIsRefused) {
  HTTPLimits limits;
  limits.maxBodyBytes = 1000;
  ScopedLimits scoped(limits);
  ScriptedServer server;
  ScriptedServer::Reply reply;
  reply.body.assign(5000, 'y');
  for (bool withLength : {true, false}) {
    reply.withLength = withLength;
    server.SetReply(reply);
    EXPECT_EQ(GetError(server.Url()), "Reply body larger than the limit of 1000 bytes")
        << "with Content-Length: " << withLength;
  }
  reply.body.assign(1000, 'z');
  server.SetReply(reply);
  EXPECT_EQ(HTTPRequest::GET(server.Url().c_str(), {}).get_length(), 1000u);
}

TEST(HTTPRequest, SelfSignedCertificateFailsVerification) {
  testsupport::TempDir dir;
  std::string key = dir / "key.pem", cert = dir / "cert.pem";
  auto made = testsupport::Run(
      "/usr/bin/openssl",
      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
       "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
  if (made.status != 0) GTEST_SKIP() << "openssl could not make a certificate: " << made.err;
  mkdir((dir / "tree").c_str(), 0755);
  testsupport::Background server(testsupport::ProgramPath("sim/update-server", "update-server"),
                                 {"--root", dir / "tree", "--cert", cert, "--key", key, "--quiet"});
  std::string line = server.ReadLine();
  ASSERT_EQ(line.rfind("listening https://127.0.0.1:", 0), 0u) << line;
  std::string url = line.substr(strlen("listening "));
  EXPECT_EQ(GetError(url, {{"op", "hi"}}), curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
}

}  // namespace
