// A spawner's hooks (spawner.h's SpawnerBoard) bound to its slot of the server's status board.
#ifndef KARVEL_HOST_SPAWNER_BOARD_H
#define KARVEL_HOST_SPAWNER_BOARD_H

#include "host/module/status_board.h"
#include "host/spawner/spawner.h"

// Where a spawner shows itself: the board and its own slot there. Must outlive the spawner's run.
struct SpawnerOnBoard {
  StatusBoard* board;
  BoardSpawner* slot;
};

// The hooks RunSpawner is given, writing `where`'s slot and counting on its board.
SpawnerBoard SpawnerBoardFor(SpawnerOnBoard* where);

#endif  // KARVEL_HOST_SPAWNER_BOARD_H
