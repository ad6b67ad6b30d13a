#include "agent/consent.hpp"

#include <gtest/gtest.h>

#include "temp_dir.hpp"

namespace orvo::agent {
namespace {

using testing::TempDir;

TEST(SplitCommands, SeparatesSimpleCommandsAndRedirections) {
  const auto cmds = split_commands(
      "cd src && FOO=1 make -j2 2>&1 | tee log.txt; echo \"a;b\" > out.txt >> app.txt "
      "$(rm -rf x) `mv a b` # rm comment");
  std::vector<std::string> firsts;
  for (const auto& c : cmds) firsts.push_back(c.words.empty() ? "" : c.words[0]);
  EXPECT_EQ(firsts, (std::vector<std::string>{"cd", "FOO=1", "tee", "rm", "mv", "echo"}));
  const auto& echo = cmds.back();
  EXPECT_EQ(echo.words, (std::vector<std::string>{"echo", "a;b", "$(...)", "$(...)"}));
  EXPECT_EQ(echo.overwrites, (std::vector<std::string>{"out.txt"}));
  EXPECT_TRUE(cmds[1].overwrites.empty());  // 2>&1 is a descriptor, not a file
}

TEST(SplitCommands, NeverFailsOnBrokenInput) {
  for (const char* s :
       {"'unterminated", "\"open", "$(", "`", "a >", "\\", ">|", "&>", "((((", "\xFF\xFE"}) {
    EXPECT_NO_THROW(split_commands(s)) << s;
  }
}

class ConsentTable : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("existing.txt", "x");
    dir.write("sub/inner.txt", "y");
  }
  TempDir dir;
};

TEST_F(ConsentTable, CommandsCaseByCase) {
  const ConsentPolicy policy(dir.path(), {});
  struct Case {
    const char* command;
    bool needs;
  };
  const Case cases[] = {
      // Plain work needs no consent.
      {"ls -la", false},
      {"make test", false},
      {"git status && git diff", false},
      {"git push origin main", false},
      {"git reset --soft HEAD~1", false},
      {"git checkout -b feature", false},
      {"chmod +x run.sh", false},
      {"echo hi > new.txt", false},
      {"echo hi >> existing.txt", false},
      {"make 2>&1 | head", false},
      {"cat existing.txt > /dev/null", false},
      {"mv existing.txt renamed.txt", false},
      {"cp existing.txt copy.txt", false},
      {"tee -a existing.txt", false},
      {"grep -rn 'rm -rf' .", false},
      {"echo 'sudo rm -rf /'", false},
      {"mv -n a.txt existing.txt", false},
      {"python3 -c 'print(1)'", false},
      // Destructive.
      {"rm file.txt", true},
      {"rm -rf build", true},
      {"/bin/rm x", true},
      {"rmdir empty", true},
      {"make clean; rm -f out", true},
      {"true && rm x", true},
      {"echo $(rm x)", true},
      {"echo `rm x`", true},
      {"FOO=1 rm x", true},
      {"env -i FOO=1 rm x", true},
      {"xargs -0 rm < list", true},
      {"find . -name '*.o' | xargs rm -f", true},
      {"nohup rm -rf x &", true},
      {"timeout 5 rm x", true},
      {"bash -c 'rm -rf x'", true},
      {"sh -c \"git clean -fd\"", true},
      {"eval rm x", true},
      {"sudo make install", true},
      {"sudo -u root ls", true},
      {"git reset --hard", true},
      {"git reset --hard HEAD~2", true},
      {"git -C repo reset --hard", true},
      {"git push --force", true},
      {"git push -f origin main", true},
      {"git push origin +main", true},
      {"git push --force-with-lease", true},
      {"git clean -fdx", true},
      {"git branch -D old", true},
      {"git checkout -- file.txt", true},
      {"chmod -R 777 .", true},
      {"chown -R me .", true},
      {"chmod --recursive u+w x", true},
      {"dd if=/dev/zero of=disk.img", true},
      {"mkfs.ext4 /dev/sdb1", true},
      {"find . -delete", true},
      {"find . -name x -exec rm {} ;", true},
      {"shred secret", true},
      {"truncate -s 0 existing.txt", true},
      {"echo hi > existing.txt", true},
      {"echo hi >| existing.txt", true},
      {"make &> existing.txt", true},
      {"echo hi > /tmp/outside.txt", true},
      {"echo hi > ../outside.txt", true},
      {"echo hi > ~/x", true},
      {"echo hi | tee existing.txt", true},
      {"mv new.txt existing.txt", true},
      {"mv -f a existing.txt", true},
      {"cp a.txt existing.txt", true},
      {"mv inner.txt sub", true},
      {"mv sub/inner.txt .", false},
      {"mv x/inner.txt sub", true},
      {"mv -t sub x/inner.txt", true},
      {"mv a /etc/", true},
      {"kill 1234", true},
  };
  for (const auto& c : cases) {
    const auto r = policy.check_command(c.command);
    EXPECT_EQ(r.has_value(), c.needs) << c.command << (r ? " -> " + *r : std::string());
  }
}

TEST_F(ConsentTable, ReasonsNameWhatHappens) {
  const ConsentPolicy policy(dir.path(), {});
  EXPECT_EQ(policy.check_command("rm -rf build").value_or(""), "deletes files");
  EXPECT_EQ(policy.check_command("echo > existing.txt").value_or(""), "overwrites existing.txt");
  EXPECT_EQ(policy.check_command("sudo ls").value_or(""), "runs as another user (sudo)");
}

TEST_F(ConsentTable, ExtraRulesFromTheConfiguration) {
  const ConsentPolicy policy(dir.path(),
                             {{"bash", "^docker( .*)? (rm|rmi|prune)( |$)", "removes containers"},
                              {"write_file", "(^|/)\\.env$", "writes secrets"},
                              {"bash", "([", "broken pattern is left out"}});
  EXPECT_EQ(policy.check_command("docker system prune").value_or(""), "removes containers");
  EXPECT_FALSE(policy.check_command("docker ps"));
  EXPECT_EQ(policy.check_path("write_file", "config/.env").value_or(""), "writes secrets");
  EXPECT_FALSE(policy.check_path("edit_file", "config/.env"));
  EXPECT_FALSE(policy.check_path("write_file", "src/main.c"));
  EXPECT_TRUE(policy.check_command("rm x"));  // built-in rules stay
}

}  // namespace
}  // namespace orvo::agent
