// The merge test: every stream of one session of a RAID group is read to
// its end, one stream per pass, on a handle of the test's own.
#pragma once

// Prompts for the group and the session, then reads the streams 0, 1, ...
// until the session's stream total is reached. Returns 0 at the normal end,
// -1 when it could not set up, position or start the session. When
// `inputEnded` is given it tells whether input ended at one of the prompts.
int runMergeTest(bool* inputEnded = nullptr);
