// client.conf and the first-run dialogue, driven through string streams.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "lin/first_run.hpp"
#include "lin/globals.hpp"
#include "proto/config.hpp"
#include "tests/support/scratch.hpp"

namespace {

namespace fs = std::filesystem;

using scratch::slurp;
using scratch::TempDir;

void writeBytes(const std::string& path, std::size_t size, char fill) {
  std::ofstream(path, std::ios::binary) << std::string(size, fill);
}

const std::string kKeyLower = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kKeyUpper = "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";

TEST(ConfigFile, LoadsOnlyWholeRecordsAndNeverRewritesLongerFiles) {
  TempDir dir;
  Config config;
  EXPECT_FALSE(loadConfig(config, dir.file("missing")));

  writeBytes(dir.file("short"), 383, 'a');
  EXPECT_FALSE(loadConfig(config, dir.file("short")));

  writeBytes(dir.file("exact"), 384, 'b');
  ASSERT_TRUE(loadConfig(config, dir.file("exact")));
  EXPECT_EQ(config.bytes[383], 'b');

  std::string longer(384, 'c');
  longer += "trailing";
  std::ofstream(dir.file("long"), std::ios::binary) << longer;
  ASSERT_TRUE(loadConfig(config, dir.file("long")));
  EXPECT_EQ(config.bytes[0], 'c');
  EXPECT_EQ(slurp(dir.file("long")), longer);
}

TEST(ConfigFile, AddressStopsAtTheTerminatorOrTheFieldEnd) {
  Config config;
  config.setServerAddress("chat.example");
  EXPECT_EQ(config.serverAddress(), "chat.example");
  std::fill(config.bytes.begin(), config.bytes.begin() + 256, 'x');
  EXPECT_EQ(config.serverAddress(), std::string(256, 'x'));
  config.setServerAddress("");
  EXPECT_EQ(config.serverAddress(), "");
  for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(config.bytes[i], 0);
}

TEST(ConfigFile, SavesExactly384BytesPrivately) {
  TempDir dir;
  Config config;
  for (std::size_t i = 0; i < Config::size; ++i) config.bytes[i] = static_cast<unsigned char>(i * 7);
  // An existing readable file must not keep its mode once it holds a secret.
  writeBytes(dir.file("client.conf"), 10, 'z');
  ::chmod(dir.file("client.conf").c_str(), 0644);
  ASSERT_FALSE(saveConfig(config, dir.file("client.conf")));
  struct stat st {};
  ASSERT_EQ(0, ::stat(dir.file("client.conf").c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 384);
  Config back;
  ASSERT_TRUE(loadConfig(back, dir.file("client.conf")));
  EXPECT_EQ(back.bytes, config.bytes);

  const mode_t old = ::umask(0);  // a permissive umask must not widen a new file
  ASSERT_FALSE(saveConfig(config, dir.file("fresh.conf")));
  ::umask(old);
  ASSERT_EQ(0, ::stat(dir.file("fresh.conf").c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ConfigFile, SaveReportsWhyItFailed) {
  TempDir dir;
  Config config;
  EXPECT_EQ(saveConfig(config, dir.file("no-such-dir/client.conf")), std::errc::no_such_file_or_directory);
  fs::create_directory(dir.file("a-directory"));
  EXPECT_EQ(saveConfig(config, dir.file("a-directory")), std::errc::is_a_directory);
  // A FIFO with no reader: at once, not when someone opens the other end.
  ASSERT_EQ(::mkfifo(dir.file("a-fifo").c_str(), 0600), 0);
  EXPECT_EQ(saveConfig(config, dir.file("a-fifo")), std::errc::no_such_device_or_address);
}

struct Dialogue {
  TempDir dir;
  Config config;
  std::ostringstream out, err;
  CreateResult run(const std::string& input) {
    client = Client::create();
    std::istringstream in(input);
    return createConfig(config, in, out, err, dir.file("client.conf"));
  }
  bool saved() const { return fs::exists(dir.file("client.conf")); }
};

TEST(FirstRun, AsksSavesAndMakesAnIdentity) {
  Dialogue d;
  ASSERT_EQ(d.run("10.1.2.3\n" + kKeyLower + "\n"), CreateResult::created);
  EXPECT_EQ(d.out.str(),
            "Config file not found. Creating new.\n"
            "Enter server address (e.g., 192.168.1.100): "
            "Enter server public key (64 hex chars): "
            "Config saved.\n");
  EXPECT_EQ(d.err.str(), "");
  EXPECT_EQ(d.config.serverAddress(), "10.1.2.3");
  EXPECT_EQ(d.config.serverPublicKey()[0], 0x00);
  EXPECT_EQ(d.config.serverPublicKey()[10], 0xaa);
  EXPECT_EQ(d.config.serverPublicKey()[31], 0xff);
  // The secret key's second half is the public key (libsodium's layout).
  EXPECT_EQ(0, std::memcmp(d.config.signSecretKey() + 32, d.config.signPublicKey(), 32));
  Config onDisk;
  ASSERT_TRUE(loadConfig(onDisk, d.dir.file("client.conf")));
  EXPECT_EQ(onDisk.bytes, d.config.bytes);
  for (std::size_t i = 8; i < 256; ++i) ASSERT_EQ(d.config.bytes[i], 0) << i;
}

TEST(FirstRun, KeyCaseSpacesAndLengthPrompts) {
  Dialogue upper, lower;
  ASSERT_EQ(upper.run("h\n" + kKeyUpper + "\n"), CreateResult::created);
  ASSERT_EQ(lower.run("h\n" + kKeyLower + "\n"), CreateResult::created);
  EXPECT_EQ(0, std::memcmp(upper.config.serverPublicKey(), lower.config.serverPublicKey(), 32));

  // 63 and 65 characters, then a key typed with a space (two tokens), then a
  // whole one.
  Dialogue d;
  ASSERT_EQ(d.run("h\n" + kKeyLower.substr(1) + "\n" + kKeyLower + "0\n" + kKeyLower.substr(0, 30) + " " +
                  kKeyLower.substr(30) + "\n" + kKeyLower + "\n"),
            CreateResult::created);
  const std::string again = "Invalid length. Enter 64 hex chars: ";
  EXPECT_EQ(d.out.str(), "Config file not found. Creating new.\n"
                         "Enter server address (e.g., 192.168.1.100): "
                         "Enter server public key (64 hex chars): " +
                             again + again + again + again + "Config saved.\n");
}

TEST(FirstRun, NonHexKeysAreAskedAgainNeverHalfParsed) {
  Dialogue d;
  std::string bad1 = kKeyLower, bad2 = kKeyLower;
  bad1[1] = 'g';       // "0g" would read as 0
  bad2.replace(0, 2, "0x");  // "0x" would read as 0
  ASSERT_EQ(d.run("h\n" + bad1 + "\n" + bad2 + "\n" + kKeyUpper + "\n"), CreateResult::created);
  const std::string out = d.out.str();
  EXPECT_NE(out.find("Enter server public key (64 hex chars): Invalid key. Enter 64 hex chars: Invalid key. "
                     "Enter 64 hex chars: Config saved.\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(d.config.serverPublicKey()[1], 0x11);
}

TEST(FirstRun, AddressesKeepSpacesAndLongOrBlankLinesAreAskedAgain) {
  Dialogue d;
  const std::string longest(255, 'a');
  ASSERT_EQ(d.run(std::string(256, 'b') + "\n" + longest + "\n" + kKeyLower + "\n"), CreateResult::created);
  EXPECT_EQ(d.config.serverAddress(), longest);
  EXPECT_NE(d.out.str().find("Address too long"), std::string::npos);

  Dialogue spaced;
  ASSERT_EQ(spaced.run(" my host \n" + kKeyLower + "\n"), CreateResult::created);
  EXPECT_EQ(spaced.config.serverAddress(), " my host ");

  // An empty address could never connect, nor one of blanks alone.
  Dialogue blank;
  ASSERT_EQ(blank.run("\n \t\nhost\n" + kKeyLower + "\n"), CreateResult::created);
  EXPECT_EQ(blank.config.serverAddress(), "host");
  const std::string again = "An address is needed. Enter server address (e.g., 192.168.1.100): ";
  EXPECT_NE(blank.out.str().find(again + again + "Enter server public key"), std::string::npos) << blank.out.str();
}

TEST(FirstRun, EndOfInputAtAnyPromptStopsWithoutAFile) {
  for (const std::string& input : {std::string(""), std::string("host\n"), std::string("host\nabc\n"),
                                  std::string(300, 'x')}) {
    Dialogue d;
    EXPECT_EQ(d.run(input), CreateResult::endOfInput) << input;
    EXPECT_FALSE(d.saved());
    const std::string err = d.err.str();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST(FirstRun, AFailedSaveIsReportedNotCelebrated) {
  TempDir dir;
  client = Client::create();
  Config config;
  std::istringstream in("h\n" + kKeyLower + "\n");
  std::ostringstream out, err;
  ASSERT_EQ(createConfig(config, in, out, err, dir.file("missing-dir/client.conf")), CreateResult::created);
  EXPECT_EQ(out.str().find("Config saved."), std::string::npos);
  EXPECT_EQ(err.str(), "Could not save " + dir.file("missing-dir/client.conf") + ": No such file or directory\n");
  EXPECT_EQ(config.serverAddress(), "h");  // the run goes on with the record in memory
}

}  // namespace
