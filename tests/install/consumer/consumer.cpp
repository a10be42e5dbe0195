/* consumer.cpp - consumer.c compiled as C++: the installed headers serve both. */
#include "consumer.c"
