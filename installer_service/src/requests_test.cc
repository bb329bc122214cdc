// Requests the COM stand-in never sends: refused, and the service goes on.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>

#include "base/test/child_process.h"
#include "installer_service/test/service_fixture.h"

namespace installer_service::test {
namespace {

namespace protocol = os::installer_protocol;
using Json = nlohmann::json;
using protocol::IoStatus;

TEST_F(InstallerServiceTest, MalformedRequestsAreRefusedAndTheServiceGoesOn) {
  StartService();
  const int fd = Connect();
  const int installer = open(good_.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(Ask(fd, "not json"), os::com::kEInvalidArg);
  EXPECT_EQ(Ask(fd, R"({"type":5})"), os::com::kEInvalidArg);
  EXPECT_EQ(Ask(fd, ExecRequest().dump(), {installer}),
            os::com::kEUnexpected);  // before "create"
  EXPECT_EQ(Ask(fd, R"({"type":"shutdown"})"), os::com::kENotImpl);
  EXPECT_EQ(Ask(fd, CreateRequest()), 0);
  for (const auto& [key, value] :
       std::vector<std::pair<std::string, Json>>{{"mode", 2},
                                                 {"session_id", -1},
                                                 {"session_id", "1"},
                                                 {"path", 7},
                                                 {"path", "good.exe"},
                                                 {"parameters", std::string(33 * 1024, 'p')},
                                                 {"md5", std::string(31, '0')}}) {
    Json request = ExecRequest();
    request[key] = value;
    EXPECT_EQ(Ask(fd, request.dump(), {installer}), os::com::kEInvalidArg) << key;
  }
  // A frame announced above the limit ends the connection after its answer.
  const uint32_t huge = 1 << 30;
  ASSERT_EQ(send(fd, &huge, sizeof(huge), MSG_NOSIGNAL), 4);
  std::string reply;
  ASSERT_EQ(protocol::ReadFrame(fd, std::chrono::seconds(20), &reply), IoStatus::kOk);
  EXPECT_EQ(Json::parse(reply)["hresult"], os::com::kEInvalidArg);
  EXPECT_EQ(protocol::ReadFrame(fd, std::chrono::seconds(20), &reply), IoStatus::kClosed);
  close(fd);
  close(installer);
  EXPECT_TRUE(wine_->Starts().empty());
  // The service still serves.
  EXPECT_EQ(ExecGood(), os::com::kSOk);
}

TEST_F(InstallerServiceTest, OnlyOneReadableRegularFileComesWithExecInstall) {
  StartService();
  const int fd = Connect();
  ASSERT_EQ(Ask(fd, CreateRequest()), 0);
  const int readable = open(good_.c_str(), O_RDONLY | O_CLOEXEC);
  const int write_only = open(good_.c_str(), O_WRONLY | O_CLOEXEC);
  const int path_only = open(good_.c_str(), O_PATH | O_CLOEXEC);
  const int directory = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  const struct {
    const char* name;
    std::string request;
    std::vector<int> descriptors;
  } cases[] = {
      {"no descriptor", ExecRequest().dump(), {}},
      {"a directory", ExecRequest().dump(), {directory}},
      {"write-only", ExecRequest().dump(), {write_only}},
      {"O_PATH", ExecRequest().dump(), {path_only}},
      {"a pipe", ExecRequest().dump(), {pipe_fds[0]}},
      {"two descriptors", ExecRequest().dump(), {readable, readable}},
      {"many descriptors", ExecRequest().dump(), std::vector<int>(64, readable)},
      {"with create", CreateRequest(), {readable}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ask(fd, c.request, c.descriptors), os::com::kEInvalidArg) << c.name;
  }
  EXPECT_TRUE(wine_->Starts().empty());
  // The same connection still serves a proper request.
  EXPECT_EQ(Ask(fd, ExecRequest().dump(), {readable}), os::com::kSOk);
  for (int open_fd : {fd, readable, write_only, path_only, directory, pipe_fds[0], pipe_fds[1]}) {
    close(open_fd);
  }
}

}  // namespace
}  // namespace installer_service::test
