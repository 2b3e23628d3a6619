#include "QmfTestSupport.h"

#include <gtest/gtest.h>

using namespace QmfTestSupport;

// The script's lines are the command's output format: notifications in delivery order, the
// block's before the message's, and nothing for the observer once it is destroyed.
TEST(QmfObserveTest, PrintsEachNotificationInOrder)
{
    const Outcome outcome = runQmf(words("observe"));
    ASSERT_EQ(outcome.status, 0) << qPrintable(outcome.err);
    EXPECT_EQ(outcome.out,
              QStringLiteral("block: name setting old=none new=\"Ada Lovelace\"\n"
                             "timer: name = \"Grace Hopper\"\n"
                             "block: name setting old=\"Ada Lovelace\" new=\"Grace Hopper\"\n"
                             "message: name setting old=\"Ada Lovelace\" new=\"Grace Hopper\" "
                             "user info=\"printer\"\n"
                             "timer: the observer is destroyed\n"
                             "message observation valid: false\n"
                             "timer: name = \"Alan Turing\"\n"
                             "block: name setting old=\"Grace Hopper\" new=\"Alan Turing\"\n"));
    EXPECT_TRUE(outcome.err.isEmpty());

    const Outcome extra = runQmf(words("observe now"));
    EXPECT_EQ(extra.status, 2);
    EXPECT_EQ(extra.err, QStringLiteral("qmf: observe takes no arguments\n"));
}
