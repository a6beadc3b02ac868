// A database server that takes the connection and never answers (hung, stopped, half-open)
// must not hold mode 4 for ever: through the MariaDB and PostgreSQL ODBC drivers, an Open
// against a listener on 127.0.0.1 that accepts and stays silent fails after the login
// time-out, and the scan gives up once its retry time has passed. Skipped for a driver that
// is not installed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/scan/db/odbc_source.h"
#include "core/scan/db_config.h"
#include "core/scan/scan_database.h"
#include "core/text/pdat.h"
#include "testing/records/store_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// Listens on a free port of 127.0.0.1, accepts every connection and sends nothing; the
// accepted sockets stay open until it is destroyed (at most a minute).
class CSilentListener {
 public:
  CSilentListener() {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_fd, 16) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
      const auto end = Clock::now() + std::chrono::minutes(1);
      while (!m_stop && Clock::now() < end) {
        pollfd wait{m_fd, POLLIN, 0};
        if (::poll(&wait, 1, 100) == 1) {
          const int accepted = ::accept(m_fd, nullptr, nullptr);
          if (accepted >= 0) m_accepted.push_back(accepted);
        }
      }
    });
  }
  ~CSilentListener() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    for (int fd : m_accepted) ::close(fd);
    if (m_fd >= 0) ::close(m_fd);
  }
  int port() const { return m_port; }

 private:
  int m_fd = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::vector<int> m_accepted;
  std::thread m_thread;
};

bool DriverInstalled(const char* name) {
  SQLHENV environment = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment))) return false;
  SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  bool found = false;
  SQLCHAR description[256];
  SQLCHAR attributes[1024];
  SQLSMALLINT descriptionLength = 0;
  SQLSMALLINT attributesLength = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (!found && SQL_SUCCEEDED(SQLDrivers(environment, direction, description, sizeof description,
                                            &descriptionLength, attributes, sizeof attributes,
                                            &attributesLength))) {
    found = std::string(reinterpret_cast<char*>(description)) == name;
    direction = SQL_FETCH_NEXT;
  }
  SQLFreeHandle(SQL_HANDLE_ENV, environment);
  return found;
}

struct tDriver {
  const char* name;
  const char* connect;  // the connection string after "Driver={name};", before the port
};
const tDriver kDrivers[] = {
    {"MariaDB Unicode", "Server=127.0.0.1;Database=d;Uid=u;Pwd=p;Port="},
    {"PostgreSQL Unicode", "Server=127.0.0.1;Database=d;Uid=u;Pwd=p;Port="},
};

std::string ConnectString(const tDriver& driver, int port) {
  return std::string("Driver={") + driver.name + "};" + driver.connect + std::to_string(port);
}

TEST(LoginTimeoutTest, AServerThatNeverAnswersFailsTheOpenAfterTheLoginTimeOut) {
  int tried = 0;
  for (const tDriver& driver : kDrivers) {
    if (!DriverInstalled(driver.name)) continue;
    ++tried;
    SCOPED_TRACE(driver.name);
    CSilentListener listener;
    ASSERT_NE(listener.port(), 0);
    auto connection = COdbcConnection::Create();
    ASSERT_NE(connection, nullptr);
    connection->SetLoginTimeout(2);
    std::string error;
    const auto started = Clock::now();
    EXPECT_FALSE(connection->Open(ConnectString(driver, listener.port()), &error));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count() /
        1000.0;
    EXPECT_GE(seconds, 1.0) << error;  // it did wait for the server
    EXPECT_LT(seconds, 8.0) << error;
  }
  if (tried == 0) GTEST_SKIP() << "neither the MariaDB nor the PostgreSQL ODBC driver is installed";
}

TEST(LoginTimeoutTest, TheScanGivesUpOnASilentServerWhenItsRetryTimeHasPassed) {
  int tried = 0;
  for (const tDriver& driver : kDrivers) {
    if (!DriverInstalled(driver.name)) continue;
    ++tried;
    SCOPED_TRACE(driver.name);
    CScratchDirectory directory;
    CPDAT trie;
    ASSERT_TRUE(BuildTestTrie({"中国"}, directory.Path("dict.txt"), &trie));
    ASSERT_TRUE(WriteTextFile(directory.Path("schema.txt"),
                              "h\n1 id id I 0 1 1 0 n\n2 body body T 1 0 1 1 b\n"));
    CFieldInfo schema;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(schema.ImportText(directory.Path("schema.txt").c_str()));
    testing::internal::GetCapturedStdout();
    CSilentListener listener;
    ASSERT_NE(listener.port(), 0);
    ASSERT_TRUE(
        WriteTextFile(directory.Path("db.xml"),
                      "<DBConnectString>" + ConnectString(driver, listener.port()) +
                          "</DBConnectString><Table>docs</Table><SortField>id</SortField>"));
    CDBConfig config;
    ASSERT_TRUE(config.Load(directory.Path("db.xml").c_str()));
    CDataLineIndex store(schema, &trie, false);
    auto connection = COdbcConnection::Create();
    ASSERT_NE(connection, nullptr);
    CScanOptions options;
    options.notRunningPauseMilliseconds = 3000;
    options.retryIntervalMilliseconds = 500;
    const auto started = Clock::now();
    testing::internal::CaptureStdout();
    const bool scanned = ScanDatabase(&store, config, connection.get(), options);
    const std::string output = testing::internal::GetCapturedStdout();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count() /
        1000.0;
    EXPECT_FALSE(scanned);
    EXPECT_NE(output.find("Database is not running!"), std::string::npos) << output;
    EXPECT_LT(seconds, 3.0 + 6.0) << output;  // the retry time, one login and its grace
  }
  if (tried == 0) GTEST_SKIP() << "neither the MariaDB nor the PostgreSQL ODBC driver is installed";
}

}  // namespace
