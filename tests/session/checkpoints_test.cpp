// Checkpoints in a private repository: what a turn changed is found and put back, in projects
// with and without git, .gitignore honoured, the user's own changes left alone.
#include "session/checkpoints.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "../agent/temp_dir.hpp"

namespace orvo::session {
namespace {

using agent::testing::TempDir;
using V = std::vector<std::string>;

class CheckpointsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    proj = tmp.path() / "proj";
    fs::create_directories(proj);
    if (GetParam()) {
      ASSERT_TRUE(run_git({"-C", proj.string(), "init", "-q"}).ok());
    }
    tmp.write("proj/a.txt", "a1\n");
    tmp.write("proj/src/b.txt", "b1\n");
    tmp.write("proj/.gitignore", "build/\n");
    tmp.write("proj/build/out.o", "binary\n");
  }
  std::string read(const std::string& rel) { return tmp.read("proj/" + rel); }
  // One turn: the checkpoint, what `change` does to the files, the checkpoint after.
  std::size_t turn(FileHistory& h, const std::function<void()>& change) {
    h.before_turn();
    change();
    return h.after_turn();
  }
  TempDir tmp;
  fs::path proj;
};

TEST_P(CheckpointsTest, UndoRestoresWhatTurnsChangedOneTurnAtATime) {
  FileHistory h(Checkpoints(tmp.path() / "state" / "cp.git", proj, 0));
  // Turn 1: an edit (as sed -i would), a new file, a removed one (rm), an ignored file.
  EXPECT_EQ(turn(h,
                 [&] {
                   tmp.write("proj/a.txt", "a2\n");
                   tmp.write("proj/new dir/c\ttab.txt", "new\n");
                   fs::remove(proj / "src/b.txt");
                   tmp.write("proj/build/out.o", "rebuilt\n");
                 }),
            3U);
  // Turn 2 changes nothing; turn 3 edits a.txt again.
  EXPECT_EQ(turn(h, [] {}), 0U);
  EXPECT_EQ(turn(h, [&] { tmp.write("proj/a.txt", "a3\n"); }), 1U);
  EXPECT_NE(h.last_diff().find("-a2\n+a3"), std::string::npos) << h.last_diff();

  std::string why;
  auto plan = h.plan_undo(why);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->files, V{"a.txt"});
  EXPECT_TRUE(plan->conflicts.empty());
  EXPECT_TRUE(h.undo(*plan).empty());
  EXPECT_EQ(read("a.txt"), "a2\n");

  // /undo again: turn 1 (turn 2 changed nothing).
  plan = h.plan_undo(why);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->files, (V{"a.txt", "new dir/c\ttab.txt", "src/b.txt"}));
  EXPECT_TRUE(h.undo(*plan).empty());
  EXPECT_EQ(read("a.txt"), "a1\n");
  EXPECT_EQ(read("src/b.txt"), "b1\n");
  EXPECT_FALSE(fs::exists(proj / "new dir/c\ttab.txt"));
  EXPECT_EQ(read("build/out.o"), "rebuilt\n");  // ignored: never touched
  EXPECT_FALSE(h.plan_undo(why));
  EXPECT_EQ(why, "No earlier turn changed files.");
}

TEST_P(CheckpointsTest, FilesChangedSinceTheTurnAreReportedNotOverwritten) {
  FileHistory h(Checkpoints(tmp.path() / "state" / "cp.git", proj, 0));
  turn(h, [&] {
    tmp.write("proj/a.txt", "turn\n");
    tmp.write("proj/src/b.txt", "turn\n");
  });
  tmp.write("proj/a.txt", "the user's\n");
  std::string why;
  const auto plan = h.plan_undo(why);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->conflicts, V{"a.txt"});
  EXPECT_TRUE(h.undo(*plan).empty());
  EXPECT_EQ(read("a.txt"), "the user's\n");
  EXPECT_EQ(read("src/b.txt"), "b1\n");
}

TEST_P(CheckpointsTest, RestoringNeverWritesThroughASymbolicLink) {
  FileHistory h(Checkpoints(tmp.path() / "state" / "cp.git", proj, 0));
  const fs::path outside = tmp.path() / "outside";
  fs::create_directories(outside);
  turn(h, [&] {
    // The turn replaces src/ with a link out of the project.
    fs::remove_all(proj / "src");
    fs::create_directory_symlink(outside, proj / "src");
  });
  std::string why;
  const auto plan = h.plan_undo(why);
  ASSERT_TRUE(plan);
  h.undo(*plan);
  EXPECT_FALSE(fs::exists(outside / "b.txt"));
}

TEST_P(CheckpointsTest, AProjectOverTheSizeLimitIsNotCheckpointed) {
  FileHistory h(Checkpoints(tmp.path() / "state" / "cp.git", proj, 4));
  EXPECT_EQ(turn(h, [&] { tmp.write("proj/a.txt", "x\n"); }), 0U);
  EXPECT_NE(h.take_note().find("over 0 MB"), std::string::npos);
  EXPECT_EQ(h.take_note(), "");
  std::string why;
  EXPECT_FALSE(h.plan_undo(why));
}

// Run in the home folder, the state folder (checkpoints, the session being written) is inside
// the project: it is never checkpointed, or each turn would "change" it and /undo rewind it.
TEST_P(CheckpointsTest, KestravelsOwnStateInsideTheProjectIsLeftOut) {
  const fs::path state = proj / ".local" / "state" / "kestravel";
  FileHistory h(Checkpoints(state / "checkpoints" / "proj.git", proj, 0));
  EXPECT_EQ(turn(h,
                 [&] {
                   tmp.write("proj/a.txt", "a2\n");
                   tmp.write("proj/.local/state/kestravel/sessions/proj/now.jsonl", "{}\n");
                 }),
            1U);
  std::string why;
  const auto plan = h.plan_undo(why);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->files, V{"a.txt"});
}

// The index is filled at start-up on a thread of its own; a turn starting meanwhile waits for it
// and still counts only its own changes.
TEST_P(CheckpointsTest, AWarmUpAtStartUpFillsTheIndexAndTurnsStillCountTheirOwnChanges) {
  const fs::path git_dir = tmp.path() / "state" / "cp.git";
  auto h = std::make_shared<FileHistory>(Checkpoints(git_dir, proj, 0));
  FileHistory::warm_up_in_background(h);
  EXPECT_EQ(turn(*h, [&] { tmp.write("proj/a.txt", "a2\n"); }), 1U);
  EXPECT_TRUE(fs::exists(git_dir / "kestravel-index"));
  FileHistory::warm_up_in_background(nullptr);  // no checkpoints: nothing to do
  // The warm-up lets go of the history when done; wait for it before the folder goes away.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (h.use_count() > 1 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(h.use_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(GitAndNot, CheckpointsTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "git" : "plain"; });

TEST(CheckpointsUserRepo, TheUsersRepositoryIsLeftAlone) {
  TempDir tmp;
  const fs::path proj = tmp.path() / "p";
  fs::create_directories(proj);
  ASSERT_TRUE(run_git({"-C", proj.string(), "init", "-q"}).ok());
  tmp.write("p/f", "1\n");
  Checkpoints cp(tmp.path() / "cp.git", proj, 0);
  EXPECT_FALSE(cp.snapshot().empty());
  const GitResult st = run_git({"-C", proj.string(), "status", "--porcelain"});
  EXPECT_EQ(st.out, "?? f\n");  // nothing staged in the user's index
  EXPECT_FALSE(fs::exists(proj / ".git" / "index"));
}

}  // namespace
}  // namespace orvo::session
