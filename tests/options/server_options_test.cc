// The option parser of qmxd and qmx: good values, bad ones (one line and
// exit status 2), --help and --version, and what the window leaves for Qt.
#include "options/server_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace qmx {
namespace {

using Args = std::vector<std::string>;

OptionOutcome Parse(const Args& args, ServerOptions* options, bool window = false) {
  return ParseServerOptions(window ? "qmx" : "qmxd", args, window, options);
}

// The error line of a bad option, checked for its shape on the way.
std::string Bad(const Args& args, bool window = false) {
  ServerOptions options;
  const OptionOutcome outcome = Parse(args, &options, window);
  EXPECT_FALSE(outcome.run);
  EXPECT_EQ(outcome.exitStatus, 2);
  EXPECT_TRUE(outcome.output.empty());
  EXPECT_TRUE(outcome.error.starts_with(window ? "qmx: " : "qmxd: ")) << outcome.error;
  EXPECT_TRUE(outcome.error.ends_with("\n"));
  EXPECT_EQ(outcome.error.find('\n'), outcome.error.size() - 1)
      << "one line: " << outcome.error;
  return outcome.error;
}

TEST(ServerOptions, GoodOptionsAreCollected) {
  ServerOptions options;
  OptionOutcome outcome = Parse({}, &options);
  EXPECT_TRUE(outcome.run);
  EXPECT_TRUE(options.listen.empty());
  EXPECT_EQ(NetworkSummary(options), "");  // the default shows nothing

  outcome = Parse({"--listen", "127.0.0.1", "--listen=::1", "--allow", "192.0.2.0/24",
                   "--allow=2001:db8::/32", "--control-allow", "192.0.2.10", "--rfc2217",
                   "1,3", "--rfc2217=5"},
                  &options);
  ASSERT_TRUE(outcome.run) << outcome.error;
  EXPECT_TRUE(outcome.output.empty() && outcome.error.empty());
  ASSERT_EQ(options.listen.size(), 2u);
  EXPECT_EQ(FormatIpAddress(options.listen[1]), "::1");
  ASSERT_EQ(options.allow.size(), 2u);
  EXPECT_EQ(options.allow[0].prefixLength, 24);
  ASSERT_TRUE(options.controlAllowGiven);
  EXPECT_EQ(options.controlAllow[0].prefixLength, 32);
  EXPECT_EQ(options.rfc2217Lines, 0b10101);
  EXPECT_EQ(NetworkSummary(options),
            "Listening on 127.0.0.1, ::1; RFC 2217 on data lines 1,3,5");

  ASSERT_TRUE(Parse({"--rfc2217", "all"}, &options).run);
  EXPECT_EQ(options.rfc2217Lines, 0xFFu);
  EXPECT_EQ(NetworkSummary(options), "RFC 2217 on data lines all");
  EXPECT_TRUE(Parse({"--allow", "10.0.0.0/8"}, &options).run);
  EXPECT_FALSE(options.controlAllowGiven);
}

TEST(ServerOptions, BadOptionsAreOneLineAndStatusTwo) {
  EXPECT_EQ(Bad({"--bogus"}), "qmxd: unknown option '--bogus' (see qmxd --help)\n");
  EXPECT_NE(Bad({"--listen"}).find("--listen needs a value"), std::string::npos);
  EXPECT_NE(Bad({"--listen", "localhost"}).find("'localhost'"), std::string::npos);
  EXPECT_NE(Bad({"--listen=300.0.0.1"}).find("'300.0.0.1'"), std::string::npos);
  EXPECT_NE(Bad({"--listen", "fe80::1%no-such-if0"}).find("no-such-if0"),
            std::string::npos);
  EXPECT_NE(Bad({"--listen", "127.0.0.1", "--listen", "127.0.0.1"}).find("given twice"),
            std::string::npos);
  // The unspecified address and another of its family cannot share a port.
  EXPECT_NE(
      Bad({"--listen", "0.0.0.0", "--listen", "127.0.0.1"}).find("covered by 0.0.0.0"),
      std::string::npos);
  EXPECT_NE(Bad({"--listen", "::1", "--listen", "::"}).find("would cover ::1"),
            std::string::npos);
  ServerOptions options;
  EXPECT_TRUE(Parse({"--listen", "0.0.0.0", "--listen", "::"}, &options).run);
  Args many;
  for (int i = 1; i <= 17; ++i) {
    many.push_back("--listen");
    many.push_back("127.0.0." + std::to_string(i));
  }
  EXPECT_NE(Bad(many).find("at most 16"), std::string::npos);

  for (const char* net : {"192.0.2.7/24", "10.0.0.0/33", "everyone", ""}) {
    EXPECT_NE(Bad({"--allow", net}).find("not a net"), std::string::npos) << net;
  }
  EXPECT_NE(Bad({"--control-allow=::1/200"}).find("--control-allow"), std::string::npos);
  for (const char* lines : {"0", "65", "1,", ",1", "1,,2", "1-8", "All", "012", ""}) {
    EXPECT_NE(Bad({"--rfc2217", lines}).find("not a data line"), std::string::npos)
        << lines;
  }
  // Values are shown printable, whatever bytes they hold.
  EXPECT_NE(Bad({"--listen", "1\x1b[2J"}).find("'1\\x1b[2J'"), std::string::npos);
  EXPECT_NE(Bad({"--rfc2217="}).find("\"\""), std::string::npos);
  EXPECT_NE(Bad({"--help=yes"}).find("takes no value"), std::string::npos);
  EXPECT_NE(Bad({"stray"}).find("unexpected argument 'stray'"), std::string::npos);
  EXPECT_NE(Bad({"-platform", "offscreen"}).find("unknown option '-platform'"),
            std::string::npos);
  // A bad option wins over --help: the mistake is reported, not hidden.
  Bad({"--help", "--bogus"});
}

TEST(ServerOptions, HelpAndVersionExitZero) {
  ServerOptions options;
  OptionOutcome outcome = Parse({"--version"}, &options);
  EXPECT_FALSE(outcome.run);
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(outcome.output, "qmxd " QMX_VERSION "\n");
  outcome = Parse({"--help"}, &options);
  EXPECT_FALSE(outcome.run);
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_TRUE(outcome.error.empty());
  for (const char* option : {"--listen ADDR", "--allow NET", "--control-allow NET",
                             "--rfc2217 LINES", "--help", "--version", "SIGHUP"}) {
    EXPECT_NE(outcome.output.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(Parse({"--version"}, &options, true).output, "qmx " QMX_VERSION "\n");
  // The short forms, for both programs.
  EXPECT_EQ(Parse({"-V"}, &options).output, "qmxd " QMX_VERSION "\n");
  EXPECT_EQ(Parse({"-V"}, &options, true).output, "qmx " QMX_VERSION "\n");
  EXPECT_EQ(Parse({"-h"}, &options, true).output,
            Parse({"--help"}, &options, true).output);
  EXPECT_NE(Parse({"-h"}, &options).output.find("--check"), std::string::npos);
}

TEST(ServerOptions, CheckIsQmxdsAlone) {
  ServerOptions options;
  OptionOutcome outcome = Parse({"--check", "--listen", "::1"}, &options);
  ASSERT_TRUE(outcome.run) << outcome.error;
  EXPECT_TRUE(options.check);
  EXPECT_EQ(Parse({"--check=yes"}, &options).exitStatus, kBadOptionStatus);
  // The window program has no --check: it is left for Qt like any other.
  ServerOptions window;
  ASSERT_TRUE(Parse({"--check"}, &window, true).run);
  EXPECT_FALSE(window.check);
  EXPECT_EQ(window.foreign, (Args{"--check"}));
}

TEST(ServerOptions, WindowLeavesOtherArgumentsForQt) {
  ServerOptions options;
  OptionOutcome outcome =
      Parse({"-platform", "offscreen", "--listen", "::1", "--style=fusion", "file"},
            &options, true);
  ASSERT_TRUE(outcome.run) << outcome.error;
  EXPECT_EQ(options.foreign, (Args{"-platform", "offscreen", "--style=fusion", "file"}));
  ASSERT_EQ(options.listen.size(), 1u);
  // Its own options are still checked before any window exists.
  EXPECT_NE(
      Bad({"-platform", "offscreen", "--listen", "nowhere"}, true).find("'nowhere'"),
      std::string::npos);
  EXPECT_NE(Parse({"--help"}, &options, true).output.find("-platform"),
            std::string::npos);
}

}  // namespace
}  // namespace qmx

namespace qmx {
namespace {

// The options of sessions, metrics and TLS: their values, and what each
// needs.
TEST(ServerOptions, SessionMetricsAndTlsOptions) {
  ServerOptions options;
  const std::vector<std::string> good = {
      "--control-clients", "4",     "--control-idle",  "300",        "--metrics",
      "[::1]:9400",        "--tls", "control,2",       "--tls-cert", "s.pem",
      "--tls-key",         "s.key", "--tls-client-ca", "ca.pem"};
  ASSERT_TRUE(ParseServerOptions("qmxd", good, false, &options).run);
  EXPECT_EQ(options.controlClients, 4);
  EXPECT_EQ(options.controlIdleSeconds, 300);
  EXPECT_EQ(FormatEndpoint(options.metricsAddress, options.metricsPort), "[::1]:9400");
  EXPECT_EQ(options.tlsLines, LineSet(0b101));  // the control line and data line 2

  auto error = [](const std::vector<std::string>& args) {
    ServerOptions ignored;
    const OptionOutcome outcome = ParseServerOptions("qmxd", args, false, &ignored);
    EXPECT_EQ(outcome.exitStatus, kBadOptionStatus);
    return outcome.error;
  };
  EXPECT_NE(error({"--control-clients", "17"}).find("1 to 16"), std::string::npos);
  EXPECT_NE(error({"--control-clients", "0"}).find("1 to 16"), std::string::npos);
  EXPECT_NE(error({"--control-idle", "-1"}).find("seconds"), std::string::npos);
  EXPECT_NE(error({"--metrics", "::1:9400"}).find("[::1]:9400"), std::string::npos);
  EXPECT_NE(error({"--tls", "control,x"}).find("control,1,2"), std::string::npos);
  EXPECT_NE(error({"--tls", "1"}).find("needs --tls-cert"), std::string::npos);
  EXPECT_NE(error({"--tls-cert", "s.pem"}).find("need --tls"), std::string::npos);
  // The window program has no metrics page: the option is left to Qt.
  ServerOptions window;
  ASSERT_TRUE(ParseServerOptions("qmx", {"--metrics", "127.0.0.1:1"}, true, &window).run);
  EXPECT_FALSE(window.metricsGiven);
}

// The files of nets and operators' names: comments and blanks skipped, a bad
// entry named by file and line, and an empty allow file refused, since an
// empty list would admit everyone.
TEST(ServerOptions, AccessFiles) {
  char folder[] = "/tmp/qmx-access-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string dir = folder;
  auto write = [&dir](const std::string& name, const std::string& text) {
    std::ofstream(dir + "/" + name) << text;
    return dir + "/" + name;
  };
  const std::string nets = write("nets", "# lab\n  192.0.2.0/24 \n\n10.0.0.1\r\n");
  const std::string names = write("names", "alice\n# bob\n Carol Smith \n");
  const std::string bad = write("bad", "192.0.2.0/24\nnot-a-net\n");
  const std::string empty = write("empty", "# nobody yet\n");

  ServerOptions options;
  ASSERT_TRUE(Parse({"--allow", "@" + nets, "--control-allow", "@" + nets, "--tls",
                     "control", "--tls-cert", "s", "--tls-key", "k", "--tls-client-ca",
                     "ca", "--control-operators", "@" + names},
                    &options)
                  .run);
  AccessSettings settings;
  std::string failure;
  ASSERT_TRUE(LoadAccessSettings(options, &settings, &failure)) << failure;
  EXPECT_EQ(settings.allow.size(), 2u);
  EXPECT_EQ(settings.controlAllow.size(), 2u);
  EXPECT_TRUE(settings.controlAllowGiven);
  ASSERT_TRUE(settings.operators);
  EXPECT_EQ(*settings.operators, (std::vector<std::string>{"alice", "Carol Smith"}));

  options.controlOperators = " alice , bob,";
  ASSERT_TRUE(LoadAccessSettings(options, &settings, &failure)) << failure;
  EXPECT_EQ(*settings.operators, (std::vector<std::string>{"alice", "bob"}));

  options.allowFiles = {bad};
  EXPECT_FALSE(LoadAccessSettings(options, &settings, &failure));
  EXPECT_EQ(failure.rfind(bad + " line 2: not a net", 0), 0u) << failure;
  options.allowFiles = {empty};
  EXPECT_FALSE(LoadAccessSettings(options, &settings, &failure));
  EXPECT_EQ(failure, empty + ": lists no net");
  options.allowFiles = {dir + "/missing"};
  EXPECT_FALSE(LoadAccessSettings(options, &settings, &failure));

  // Roles need the certificates that tell operators apart.
  EXPECT_NE(Bad({"--tls", "control", "--tls-cert", "s", "--tls-key", "k",
                 "--control-operators", "alice"})
                .find("needs --tls control and --tls-client-ca"),
            std::string::npos);
  EXPECT_NE(Bad({"--tls", "1", "--tls-cert", "s", "--tls-key", "k", "--tls-client-ca",
                 "ca", "--control-operators", "alice"})
                .find("needs --tls control"),
            std::string::npos);
  for (const char* name : {"nets", "names", "bad", "empty"})
    std::remove((dir + "/" + name).c_str());
  std::remove(folder);
}

// More lines than eight: numbers past 8 only with --lines, whichever comes
// first, and "all" meaning every line the server has.
TEST(ServerOptions, LinesBeyondEight) {
  ServerOptions options;
  ASSERT_TRUE(Parse({"--rfc2217", "12,16", "--lines", "16", "--tls", "control,64",
                     "--lines", "64", "--tls-cert", "c", "--tls-key", "k"},
                    &options)
                  .run);
  EXPECT_EQ(options.dataLines, 64);
  EXPECT_EQ(options.rfc2217Lines, (uint64_t{1} << 11) | (uint64_t{1} << 15));
  EXPECT_TRUE(options.tlsLines[0] && options.tlsLines[64] &&
              options.tlsLines.count() == 2);
  EXPECT_EQ(FormatRfc2217Lines(options.rfc2217Lines, 64), "12,16");

  ServerOptions all;
  ASSERT_TRUE(Parse({"--rfc2217", "all", "--lines", "16", "--tls", "all", "--tls-cert",
                     "c", "--tls-key", "k"},
                    &all)
                  .run);
  EXPECT_EQ(all.rfc2217Lines, 0xFFFFu);
  EXPECT_EQ(all.tlsLines.count(), 17u);
  EXPECT_EQ(FormatRfc2217Lines(all.rfc2217Lines, 16), "all");
  EXPECT_EQ(FormatRfc2217Lines(0xFFu, 16), "1,2,3,4,5,6,7,8");

  EXPECT_NE(Bad({"--rfc2217", "9"})
                .find("data line 9 is beyond the 8 data lines (see --lines)"),
            std::string::npos);
  EXPECT_NE(Bad({"--lines", "16", "--rfc2217", "17"}).find("beyond the 16"),
            std::string::npos);
  EXPECT_NE(Bad({"--lines", "65"}).find("8 to 64"), std::string::npos);
  EXPECT_NE(Bad({"--lines", "7"}).find("8 to 64"), std::string::npos);
  EXPECT_NE(Bad({"--rfc2217", "65"}).find("1-64"), std::string::npos);
  EXPECT_NE(Bad({"--rfc2217", "01"}).find("1-64"), std::string::npos);
}

}  // namespace
}  // namespace qmx
