// The latency fix a station tile offers under the slow-adapter hint: which
// tile offers it, the command it runs and what the tile says of its end.
// The elevation itself is the windows'.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "download/Causes.h"
#include "station/LatencyFix.h"
#include "station/StationBoard.h"

namespace zq {

namespace {

// A download through port ends, with the note the session gives the tile.
void Ended(CStationBoard& board, const PortInfo& port, bool success, const std::string& note)
{
    board.Events().OnPort(port, PortPhase::Listening);
    board.Events().OnFound(port.name, StationTotals());
    DeviceEnding ending;
    ending.outcome.port = port.name;
    ending.outcome.success = success;
    ending.note = note;
    board.Events().OnEnded(ending);
    board.Drain();
}

} // namespace

TEST(StationLatencyFix, OnlyATileShowingTheHintOffersItAndItsRunShows)
{
    CStationBoard board([] {});
    const PortInfo slow{"/dev/ttyUSB0", "FT232R USB UART", "0403:6001"};
    const PortInfo fast{"/dev/ttyUSB1", "FT232R USB UART", "0403:6001"};
    Ended(board, slow, true, HintAfterSuccess(slow, 16, 0));
    Ended(board, fast, true, HintAfterSuccess(fast, 1, 11000));
    const TileView& tile = *board.Find(slow.name);
    // The tile has room for the fix, with the whole hint at hand.
    EXPECT_EQ(tile.note, "slow adapter: sudo zerquill-flash --set-latency /dev/ttyUSB0 1");
    EXPECT_EQ(tile.noteWhole, HintAfterSuccess(slow, 16, 0));
    ASSERT_TRUE(tile.Fix());
    EXPECT_EQ(tile.Fix()->port, slow.name);
    EXPECT_EQ(tile.Fix()->args, (std::vector<std::string>{"--set-latency", "/dev/ttyUSB0", "1"}));
    EXPECT_EQ(tile.Fix()->ArgLine(), "--set-latency /dev/ttyUSB0 1");
    EXPECT_FALSE(board.Find(fast.name)->Fix()) << "a success without a hint";

    // Running, it is not offered twice; cancelled, it is offered again.
    EXPECT_EQ(board.FixStarted(slow.name).tiles, std::vector<std::string>{slow.name});
    EXPECT_FALSE(tile.Fix());
    board.FixEnded(slow.name, FixOutcome{FixEnd::Declined, 0, {}});
    EXPECT_TRUE(tile.Fix());
    EXPECT_EQ(tile.fixWords, "not set: the prompt for rights was cancelled");
    board.FixStarted(slow.name);
    board.FixEnded(slow.name, FixOutcome{FixEnd::Exited, 0, {}});
    EXPECT_FALSE(tile.Fix()) << "written";
    EXPECT_EQ(tile.fixWords.rfind("latency set to 1 ms: ", 0), 0u) << tile.fixWords;
    EXPECT_EQ(board.Find(slow.name)->NoteShown(), tile.fixWords);

    // The next download: the words go, and a hint brings the offer back;
    // a failure's cause and a download in flight offer nothing.
    board.Events().OnFound(slow.name, StationTotals());
    board.Events().OnHint(slow.name, HintAfterSuccess(slow, 16, 0));
    board.Drain();
    EXPECT_TRUE(tile.fixWords.empty());
    EXPECT_FALSE(tile.Fix()) << "during a download, whose adapter the fix may restart";
    Ended(board, slow, false, "device did not acknowledge block 7");
    EXPECT_FALSE(tile.Fix());
    Ended(board, slow, true, HintAfterSuccess(slow, 16, 0));
    EXPECT_TRUE(tile.Fix());
    EXPECT_EQ(tile.NoteShown(), tile.note);
    board.FixEnded(slow.name, FixOutcome{FixEnd::Exited, 4, {}});
    EXPECT_FALSE(tile.Fix()) << "no timer there: running it again does the same";
    Ended(board, slow, true, HintAfterSuccess(slow, 16, 0));
    board.Events().OnPort(slow, PortPhase::Absent);
    board.Drain();
    EXPECT_FALSE(tile.Fix()) << "the adapter has gone";
}

TEST(StationLatencyFix, EachEndOfTheCommandHasItsWords)
{
    const std::string port = "COM7";
    const std::vector<FixOutcome> ends = {
        {FixEnd::Exited, 0, {}},  {FixEnd::Exited, 77, {}},    {FixEnd::Exited, 4, {}},
        {FixEnd::Exited, 64, {}}, {FixEnd::Exited, 1, {}},     {FixEnd::Exited, 9, {}},
        {FixEnd::Declined, 0, {}}, {FixEnd::NotGranted, 0, {}}, {FixEnd::NotStarted, 0, "file not found"},
    };
    std::set<std::string> seen;
    for (const FixOutcome& end : ends) {
        const std::string words = LatencyFixWords(port, end);
        EXPECT_TRUE(seen.insert(words).second) << "told alike: " << words;
        EXPECT_EQ(words.rfind(end.end == FixEnd::Exited && end.status == 0 ? "latency set to 1 ms: " : "not set: ", 0), 0u) << words;
    }
    EXPECT_EQ(LatencyFixWords(port, {FixEnd::Exited, 4, {}}), "not set: COM7 has no latency timer (not an FTDI adapter)");
    EXPECT_NE(LatencyFixWords(port, {FixEnd::Exited, 77, {}}).find("rights"), std::string::npos);
    EXPECT_NE(LatencyFixWords(port, {FixEnd::Exited, 9, {}}).find("status 9"), std::string::npos);
    EXPECT_NE(LatencyFixWords(port, ends.back()).find("file not found"), std::string::npos);

    // pkexec's own statuses, and the program's passed on.
    EXPECT_EQ(PkexecOutcome(126).end, FixEnd::Declined);
    EXPECT_EQ(PkexecOutcome(127).end, FixEnd::NotGranted);
    EXPECT_EQ(PkexecOutcome(4).end, FixEnd::Exited);
    EXPECT_EQ(PkexecOutcome(4).status, 4);
}

}  // namespace zq
