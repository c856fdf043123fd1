// Real clients against the server: swaks and Python's smtplib run as child processes and deliver
// to a server on an ephemeral loopback port in this process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/smtp/smtp_server.h"
#include "platform/smtp/testing/smtp_test_support.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;
using testing_support::RecordingEvents;
using testing_support::RunCommand;
using testing_support::RunWithClients;

// The helper scripts sit beside this file in the source tree.
std::string TestDataFolder() { return MAILVANE_SOURCE_DIR "/platform/smtp/testdata"; }

std::string Header(const std::string& subject) {
  return "From: sender@example.com\r\nTo: 491701234567@sms.example\r\nSubject: " + subject +
         "\r\n\r\n";
}

// A 1 MiB body of 76-character lines, with lines that need dot-stuffing among them.
std::string LongBody() {
  std::string body;
  for (int line = 0; body.size() < 1024 * 1024; ++line) {
    if (line % 1000 == 0) body += ".";
    for (int i = 0; i < 76; ++i) body += static_cast<char>('a' + (line + i) % 26);
    body += "\r\n";
  }
  return body;
}

struct Delivery {
  const char* name;
  std::string message;  // as the client sends it, lines ended by CR LF
  bool eight_bit;
};

std::vector<Delivery> Deliveries() {
  return {
      {"plain", Header("plain") + "Hello from a real client.\r\nSecond line.\r\n", false},
      {"8bit",
       Header("8bit") + "Gr\xc3\xbc\xc3\x9f"
                        "e, \xe2\x82\xac 5 \xff\r\n",
       true},
      {"dot lines", Header("dots") + "before\r\n.\r\n..\r\n.leading\r\nafter\r\n", false},
      {"long", Header("long") + LongBody(), false},
  };
}

struct Fixture {
  Fixture() : loop(NewEventLoop()) {
    server = NewSmtpServer(*loop, events);
    server->SetPort(0);
    server->SetGreetingText("Hi, from the Mailvane");
    server->SetClosingText("Bye from the Mailvane");
    started = !server->Start();
    port = std::to_string(server->BoundPort());
    folder = fs::temp_directory_path() / ("smtp_clients_test." + std::to_string(getpid()));
    fs::create_directories(folder);
  }
  ~Fixture() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  std::string WriteMessage(const std::string& name, const std::string& message) {
    std::string path = (folder / name).string();
    std::ofstream(path, std::ios::binary) << message;
    return path;
  }
  // Runs the command as the one client; returns its exit status and output.
  int Run(const std::string& command, std::string* output) {
    int status = -1;
    RunWithClients(*loop, {[&] { status = RunCommand(command, output); }});
    return status;
  }
  RecordingEvents events;
  std::unique_ptr<EventLoop> loop;
  std::unique_ptr<SmtpServer> server;
  bool started = false;
  std::string port;
  fs::path folder;
};

TEST(SmtpClientsTest, PythonSmtplibDelivers) {
  Fixture f;
  ASSERT_TRUE(f.started);
  std::string script = TestDataFolder() + "/smtplib_send.py";
  for (const Delivery& d : Deliveries()) {
    std::string path = f.WriteMessage("python.eml", d.message);
    std::string output;
    int status = f.Run("/usr/bin/python3 " + script + " " + f.port + " " + path +
                           " sender@example.com 491701234567@sms.example,other@example.com" +
                           (d.eight_bit ? " 8bit" : ""),
                       &output);
    EXPECT_EQ(status, 0) << d.name << ": " << output;
    ASSERT_EQ(f.events.messages.size(), 1u) << d.name << ": " << output;
    const SmtpMessage& received = f.events.messages[0];
    // What was sent, less the line end before the final ".".
    EXPECT_TRUE(received.text == d.message.substr(0, d.message.size() - 2)) << d.name;
    EXPECT_EQ(received.byte_count, d.message.size() - 2) << d.name;
    EXPECT_EQ(received.sender, "sender@example.com") << d.name;
    EXPECT_EQ(received.recipient_text, "491701234567@sms.example, other@example.com") << d.name;
    f.events.messages.clear();
  }
}

TEST(SmtpClientsTest, SwaksDelivers) {
  Fixture f;
  ASSERT_TRUE(f.started);
  for (bool pipeline : {false, true}) {
    for (const Delivery& d : Deliveries()) {
      std::string path = f.WriteMessage("swaks.eml", d.message);
      std::string output;
      int status = f.Run("swaks --server 127.0.0.1 --port " + f.port +
                             " --timeout 30 --helo swaks.test --from sender@example.com"
                             " --to 491701234567@sms.example --data @" +
                             path + (pipeline ? " --pipeline" : "") + " --hide-all",
                         &output);
      std::string label = std::string(d.name) + (pipeline ? " pipelined" : "");
      EXPECT_EQ(status, 0) << label << ": " << output;
      ASSERT_EQ(f.events.messages.size(), 1u) << label << ": " << output;
      // swaks ends the text with CR LF "." CR LF of its own, so the file's last line end stays.
      const std::string& text = f.events.messages[0].text;
      EXPECT_TRUE(text == d.message) << label << ": " << text.size() << " bytes, "
                                     << testing::PrintToString(text.substr(0, 200));
      EXPECT_EQ(f.events.messages[0].recipient_text, "491701234567@sms.example") << label;
      f.events.messages.clear();
    }
  }
}

TEST(SmtpClientsTest, SwaksSeesARefusalAsAFailure) {
  Fixture f;
  ASSERT_TRUE(f.started);
  f.events.admit = false;
  std::string output;
  int status = f.Run("swaks --server 127.0.0.1 --port " + f.port +
                         " --timeout 30 --from a@example.com --to b@example.com",
                     &output);
  EXPECT_NE(status, 0);
  EXPECT_NE(output.find("554 5.7.1"), std::string::npos) << output;
  EXPECT_TRUE(f.events.messages.empty());
}

}  // namespace
}  // namespace mailvane
