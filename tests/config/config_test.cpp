// label: threaded
#include "config/config.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace orvo::config;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kv_config_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    file = dir / "kestravel" / "config.toml";
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, ec);
    fs::remove_all(dir, ec);
  }
  void write(const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }
  std::string read() {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  Config load(std::optional<std::string> endpoint = {}, std::optional<std::string> mode = {}) {
    LoadOptions o;
    o.path = file;
    o.endpoint = std::move(endpoint);
    o.mode = std::move(mode);
    return load_config(o);
  }

  fs::path dir;
  fs::path file;
};

TEST_F(ConfigTest, MissingFileGivesDefaultsAndSavingWritesOnlyTheMode) {
  Config c = load();
  EXPECT_EQ(c.runtime.laptop_26b_runtime_mode, "turbo");
  EXPECT_EQ(c.runtime.endpoint, "builtin");
  EXPECT_EQ(c.runtime.connect_timeout, 2.0);
  EXPECT_EQ(c.agent.max_steps, 40);
  EXPECT_EQ(c.agent.sandbox, "auto");
  EXPECT_TRUE(c.agent.sandbox_network);
  EXPECT_EQ(c.runtime.modes.at("turbo-think")["chat_template_kwargs"]["enable_thinking"], true);
  EXPECT_FALSE(fs::exists(file));

  c.runtime.laptop_26b_runtime_mode = "turbo-think";
  save_config(c);
  EXPECT_EQ(read(), "[runtime]\nlaptop_26b_runtime_mode = 'turbo-think'\n");
  struct stat st {};
  ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(ConfigTest, KnownValuesAreReadAndUnknownKeysKeptOnSave) {
  write(
      "title = 'mine'\n"
      "[runtime]\n"
      "laptop_26b_runtime_mode = 'turbo-think'\n"
      "endpoint = 'http://127.0.0.1:8080/v1'\n"
      "connect_timeout = 3\n"
      "gpu_layers = 99\n"
      "[runtime.modes.turbo]\n"
      "think = false\n"
      "extra = { a = [1, 2.5, 'x'] }\n"
      "[agent]\n"
      "max_steps = 7\n"
      "sandbox = 'off'\n"
      "sandbox_network = false\n"
      "web_fetch_timeout = 2.5\n"
      "keep_background = true\n"
      "[[agent.consent]]\n"
      "tool = 'bash'\n"
      "pattern = 'terraform\\s+destroy'\n"
      "[ui]\n"
      "theme = 'light'\n"
      "[plugins.foo]\n"
      "enabled = true\n");
  Config c = load();
  EXPECT_EQ(c.ui.theme, "light");
  EXPECT_EQ(c.runtime.laptop_26b_runtime_mode, "turbo-think");
  EXPECT_EQ(c.runtime.endpoint, "http://127.0.0.1:8080/v1");
  EXPECT_EQ(c.runtime.connect_timeout, 3.0);
  EXPECT_EQ(c.runtime.modes.at("turbo"),
            (nlohmann::json{{"think", false}, {"extra", {{"a", {1, 2.5, "x"}}}}}));
  EXPECT_EQ(c.agent.max_steps, 7);
  EXPECT_EQ(c.agent.sandbox, "off");
  EXPECT_FALSE(c.agent.sandbox_network);
  EXPECT_EQ(c.agent.web_fetch_timeout, 2.5);
  EXPECT_TRUE(c.agent.keep_background);
  EXPECT_EQ(c.agent.max_edit_bytes, 8 * 1024 * 1024);
  ASSERT_EQ(c.agent.consent.size(), 1u);
  EXPECT_EQ(c.agent.consent[0], (ConsentRule{"bash", "terraform\\s+destroy"}));

  c.runtime.laptop_26b_runtime_mode = "turbo";
  c.agent.context_budget = 1000;
  c.agent.max_edit_bytes = 4096;
  save_config(c);
  Config again = load();
  EXPECT_EQ(again.runtime, c.runtime);
  EXPECT_EQ(again.agent, c.agent);
  const std::string text = read();
  for (const char* kept : {"title = 'mine'", "gpu_layers = 99", "[plugins.foo]", "enabled = true",
                           "context_budget = 1000", "laptop_26b_runtime_mode = 'turbo'",
                           "max_edit_bytes = 4096", "keep_background = true"})
    EXPECT_NE(text.find(kept), std::string::npos) << kept << " in\n" << text;
}

TEST_F(ConfigTest, CommandLineValuesAreUsedButNotSaved) {
  write("[runtime]\nendpoint = 'http://a/v1'\n");
  Config c = load("http://b/v1", "turbo-think");
  EXPECT_EQ(c.runtime.endpoint, "http://b/v1");
  save_config(c);
  EXPECT_EQ(load().runtime.endpoint, "http://a/v1");
}

TEST_F(ConfigTest, ModelFromTheCommandLineIsUsedButNotSaved) {
  write("[runtime]\nmodel = 'small'\n");
  LoadOptions o;
  o.path = file;
  o.model = "large";
  Config c = load_config(o);
  EXPECT_EQ(c.runtime.model, "large");
  c.runtime.laptop_26b_runtime_mode = "turbo-think";
  save_config(c);
  EXPECT_EQ(load().runtime.model, "small");
}

TEST_F(ConfigTest, ADirectoryIsNoSettingsFile) {
  fs::create_directories(file);
  try {
    load();
    ADD_FAILURE() << "a directory was read as an empty file";
  } catch (const ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("is a directory"), std::string::npos) << e.what();
  }
}

TEST_F(ConfigTest, ALinkedFileIsSavedThroughTheLink) {
  // The real file elsewhere (a dotfiles repository), linked into place by a relative link.
  fs::create_directories(dir / "dotfiles");
  std::ofstream(dir / "dotfiles" / "kestravel.toml") << "[runtime]\nkeep = 1\n";
  fs::create_directories(file.parent_path());
  fs::create_symlink("../dotfiles/kestravel.toml", file);
  Config c = load();
  c.runtime.laptop_26b_runtime_mode = "turbo-think";
  save_config(c);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(file)));
  std::ifstream in(dir / "dotfiles" / "kestravel.toml");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "[runtime]\nkeep = 1\nlaptop_26b_runtime_mode = 'turbo-think'\n");
  // Nothing else was left beside either of them.
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "dotfiles"), fs::directory_iterator()), 1);
}

TEST_F(ConfigTest, EditsMadeMeanwhileAreKept) {
  write("[runtime]\nendpoint = 'http://a/v1'\n");
  Config c = load();
  write("[runtime]\nendpoint = 'http://edited/v1'\nnew_key = 1\n");
  c.runtime.laptop_26b_runtime_mode = "turbo-think";
  save_config(c);
  Config again = load();
  EXPECT_EQ(again.runtime.endpoint, "http://edited/v1");
  EXPECT_EQ(again.runtime.laptop_26b_runtime_mode, "turbo-think");
  EXPECT_NE(read().find("new_key = 1"), std::string::npos);
}

TEST_F(ConfigTest, BadFilesNameWhereAndWhyAndAreNeverWrittenOver) {
  struct Case {
    const char* text;
    int line;
    int column;
    const char* reason;  // part of the reason
  };
  const Case cases[] = {
      {"[runtime\nendpoint = 'x'\n", 1, 9, ""},
      {"a = 1\nb = \n", 2, 0, ""},
      {"[runtime]\nconnect_timeout = 'soon'\n", 2, 19, "runtime.connect_timeout must be a number"},
      {"[runtime]\nconnect_timeout = -1\n", 2, 19, "greater than 0"},
      {"runtime = 3\n", 1, 11, "runtime must be a table"},
      {"[runtime]\nendpoint = 5\n", 2, 12, "runtime.endpoint must be a string"},
      {"[agent]\nmax_steps = 0\n", 2, 13, "agent.max_steps"},
      {"[agent]\nweb_fetch_timeout = 0\n", 2, 21, "agent.web_fetch_timeout must be greater"},
      {"[agent]\nkeep_background = 'no'\n", 2, 19, "agent.keep_background must be true or false"},
      {"[[agent.consent]]\ntool = 'bash'\n", 1, 0, "without a pattern"},
      {"[[agent.consent]]\npattern = 'rm ([a-z'\n", 1, 0, "pattern does not compile"},
      {"[agent]\nsandbox = 'strict'\n", 2, 11, "agent.sandbox must be \"auto\" or \"off\""},
      {"[agent]\nsandbox = false\n", 2, 11, "agent.sandbox must be a string"},
      {"[ui]\ntheme = 'solarized'\n", 2, 9, "ui.theme must be \"auto\", \"dark\" or \"light\""},
      {"[agent]\nsandbox_network = 'no'\n", 2, 19, "agent.sandbox_network must be true or false"},
      {"x = '\xff'\n", 1, 0, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    write(k.text);
    try {
      load();
      ADD_FAILURE() << "no error";
    } catch (const ConfigParseError& e) {
      EXPECT_EQ(e.path(), file);
      EXPECT_EQ(e.line(), k.line);
      if (k.column) {
        EXPECT_EQ(e.column(), k.column);
      }
      EXPECT_NE(e.reason().find(k.reason), std::string::npos) << e.reason();
      EXPECT_NE(std::string(e.what()).find(file.string() + ":" + std::to_string(k.line) + ":"),
                std::string::npos)
          << e.what();
    }
    EXPECT_EQ(read(), k.text);
  }
  // A file broken after loading is not written over either.
  write("[runtime]\n");
  Config c = load();
  write("[runtime\n");
  EXPECT_THROW(save_config(c), ConfigError);
  EXPECT_EQ(read(), "[runtime\n");
}

TEST_F(ConfigTest, UnknownModeIsKeptUntilChanged) {
  write("[runtime]\nlaptop_26b_runtime_mode = 'warp'\n");
  Config c = load();
  EXPECT_EQ(c.runtime.laptop_26b_runtime_mode, "warp");
  EXPECT_FALSE(is_known_mode(c.runtime.laptop_26b_runtime_mode));
  EXPECT_TRUE(is_known_mode("turbo") && is_known_mode("turbo-think"));
}

TEST_F(ConfigTest, UnwritableDirectoryIsAnError) {
  // A file where the directory should be stops even root.
  std::ofstream(dir / "kestravel") << "not a directory";
  Config c = load();
  c.runtime.laptop_26b_runtime_mode = "turbo-think";
  try {
    save_config(c);
    ADD_FAILURE() << "no error";
  } catch (const ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find((dir / "kestravel").string()), std::string::npos)
        << e.what();
  }
  if (::geteuid() != 0) {
    fs::remove(dir / "kestravel");
    write("[runtime]\n");
    fs::permissions(file.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(save_config(c), ConfigError);
    fs::permissions(file.parent_path(), fs::perms::owner_all);
    EXPECT_EQ(read(), "[runtime]\n");
  }
}

TEST_F(ConfigTest, ConcurrentSavesNeverLeaveAHalfWrittenFile) {
  Config a = load();
  Config b = load();
  a.runtime.laptop_26b_runtime_mode = "turbo";
  b.runtime.laptop_26b_runtime_mode = "turbo-think";
  a.runtime.model = std::string(20000, 'a');
  b.runtime.model = std::string(20000, 'b');
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!stop) {
      std::ifstream in(file, std::ios::binary);
      if (!in) continue;
      std::stringstream s;
      s << in.rdbuf();
      try {
        Config seen = load();
        if (seen.runtime.model.size() != 20000) ++bad;
      } catch (const ConfigError&) {
        ++bad;
      }
    }
  });
  std::vector<std::thread> writers;
  for (Config* c : {&a, &b})
    writers.emplace_back([c] {
      for (int i = 0; i < 40; ++i) save_config(*c);
    });
  for (auto& t : writers) t.join();
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  const Config last = load();
  EXPECT_TRUE(last.runtime.model == a.runtime.model || last.runtime.model == b.runtime.model);
}

TEST(ConfigPath, FollowsXdgThenHome) {
  const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
  const char* old_home = std::getenv("HOME");
  const std::string saved_xdg = old_xdg ? old_xdg : "";
  const std::string saved_home = old_home ? old_home : "";
  ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  ::setenv("HOME", "/h", 1);
  EXPECT_EQ(default_config_path(), fs::path("/x/cfg/kestravel/config.toml"));
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(default_config_path(), fs::path("/h/.config/kestravel/config.toml"));
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("HOME");
  EXPECT_THROW(default_config_path(), ConfigError);
  if (old_xdg) ::setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
  if (old_home) ::setenv("HOME", saved_home.c_str(), 1);
}

}  // namespace
