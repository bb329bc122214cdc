// Requests the COM stand-in never sends: refused, and the service goes on.

#include <fcntl.h>
#include <sys/socket.h>

#include "installer_service/test/service_fixture.h"

namespace installer_service::test {
namespace {

namespace protocol = os::installer_protocol;

TEST_F(InstallerServiceTest, MalformedRequestsAreRefusedAndTheServiceGoesOn) {
  StartService();
  const int fd = Connect();
  // Only one readable regular file may come with ExecInstall.
  const int readable = open(good_.c_str(), O_RDONLY | O_CLOEXEC);
  const int write_only = open(good_.c_str(), O_WRONLY | O_CLOEXEC);
  const int path_only = open(good_.c_str(), O_PATH | O_CLOEXEC);
  const int directory = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  const auto exec_with = [this](const std::string& key, const Json& value) {
    Json request = ExecRequest();
    request[key] = value;
    return request.dump();
  };
  const std::string exec = ExecRequest().dump();
  const struct {
    const char* name;
    std::string request;
    std::vector<int> descriptors;
    os::com::HResult expected;
  } cases[] = {
      {"not json", "not json", {}, os::com::kEInvalidArg},
      {"type not a string", R"({"type":5})", {}, os::com::kEInvalidArg},
      {"exec before create", exec, {readable}, os::com::kEUnexpected},
      {"unknown type", R"({"type":"shutdown"})", {}, os::com::kENotImpl},
      {"create with a descriptor", CreateRequest(), {readable}, os::com::kEInvalidArg},
      {"create", CreateRequest(), {}, os::com::kSOk},
      {"other mode", exec_with("mode", 2), {readable}, os::com::kEInvalidArg},
      {"negative session", exec_with("session_id", -1), {readable}, os::com::kEInvalidArg},
      {"session as text", exec_with("session_id", "1"), {readable}, os::com::kEInvalidArg},
      {"path a number", exec_with("path", 7), {readable}, os::com::kEInvalidArg},
      {"relative path", exec_with("path", "good.exe"), {readable}, os::com::kEInvalidArg},
      {"long parameters",
       exec_with("parameters", std::string(33 * 1024, 'p')),
       {readable},
       os::com::kEInvalidArg},
      {"short md5", exec_with("md5", std::string(31, '0')), {readable}, os::com::kEInvalidArg},
      {"no descriptor", exec, {}, os::com::kEInvalidArg},
      {"a directory", exec, {directory}, os::com::kEInvalidArg},
      {"write-only", exec, {write_only}, os::com::kEInvalidArg},
      {"O_PATH", exec, {path_only}, os::com::kEInvalidArg},
      {"a pipe", exec, {pipe_fds[0]}, os::com::kEInvalidArg},
      {"two descriptors", exec, {readable, readable}, os::com::kEInvalidArg},
      {"many descriptors", exec, std::vector<int>(64, readable), os::com::kEInvalidArg},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ask(fd, c.request, c.descriptors), c.expected) << c.name;
  }
  EXPECT_TRUE(wine_->Starts().empty());
  // The same connection still serves a proper request.
  EXPECT_EQ(Ask(fd, exec, {readable}), os::com::kSOk);
  // A frame announced above the limit ends the connection after its answer.
  const uint32_t huge = 1 << 30;
  ASSERT_EQ(send(fd, &huge, sizeof(huge), MSG_NOSIGNAL), 4);
  std::string reply;
  ASSERT_EQ(protocol::ReadFrame(fd, kBound, &reply), protocol::IoStatus::kOk);
  EXPECT_EQ(Json::parse(reply)["hresult"], os::com::kEInvalidArg);
  EXPECT_EQ(protocol::ReadFrame(fd, kBound, &reply), protocol::IoStatus::kClosed);
  for (int open_fd : {fd, readable, write_only, path_only, directory, pipe_fds[0], pipe_fds[1]}) {
    close(open_fd);
  }
  // The service still serves.
  EXPECT_EQ(ExecGood(), os::com::kSOk);
  EXPECT_EQ(wine_->WaitForStarts(2, kBound).size(), 2u);
}

}  // namespace
}  // namespace installer_service::test
