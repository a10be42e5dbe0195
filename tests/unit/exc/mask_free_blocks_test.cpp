/*
 * mask_free_blocks_test.cpp - blocks of a translation unit that defined
 * EXC_NO_SIGNAL_MASK: they leave the mask alone on a throw, still unblock a
 * signal delivered to them, and nest with blocks that restore the mask.
 */
#define EXC_NO_SIGNAL_MASK
#include <gtest/gtest.h>

#include <csignal>

#include "exc/exc.h"

bool Blocked(int signal_number);
void SetBlocked(int signal_number, bool blocked);

/* Blocks `signal_number`, then throws out of a mask-free block with no clause for it. */
void BlockAndThrowFromAMaskFreeBlock(int signal_number) {
    EXC_TRY {
        SetBlocked(signal_number, true);
        EXC_THROW(IllegalArgumentException, nullptr);
    } EXC_FINALLY {
    }
}

TEST(MaskFreeBlocks, KeepTheMaskOnAThrowAndUnblockASignalDeliveredToThem) {
    exc_context_begin(1, nullptr);
    volatile bool usr2_after_throw = false;
    EXC_TRY {
        BlockAndThrowFromAMaskFreeBlock(SIGUSR2);
    } EXC_CATCH(IllegalArgumentException) {
    }
    usr2_after_throw = Blocked(SIGUSR2);
    SetBlocked(SIGUSR2, false);

    volatile bool usr1_in_catch = true;
    EXC_TRY {
        raise(SIGUSR1);
    } EXC_CATCH(ProgramSignal1Exception) {
        usr1_in_catch = Blocked(SIGUSR1);
    }
    exc_context_end();
    EXPECT_TRUE(usr2_after_throw) << "a mask-free block does not restore the mask";
    EXPECT_FALSE(usr1_in_catch) << "the delivered signal is unblocked again";
}
