// Slot handlers of the maintenance connections.
#pragma once

void check_handler(int index, char letter);       // 0xFFB7 proxy check
void chain_test_handler(int index, char letter);  // 0xFFB9 chain test
void myip_handler(int index, char letter);        // 0xFFBB public address
void download_handler(int index, char letter);    // 0xFFC1 list download
