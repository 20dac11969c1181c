#pragma once

// The one-shot board commands of snlctl. Each takes an index already checked against the boards
// found, prints one result line on stdout (failures on stderr) and returns an ExitCode.
// Single-threaded: called once from main.

namespace snlctl {

int ListBoards();
int ShowStatus(int board);
int PingBoard(int board);
int StartBoard(int board);
int StopBoard(int board);
int ConfigureBoard(int board, unsigned char time, unsigned char links);

}  // namespace snlctl
