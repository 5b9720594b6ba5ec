#include "datafile/parallel.h"

#include <thread>

unsigned dat_parallel::cores() { return std::clamp(std::thread::hardware_concurrency(), 1u, max_threads); }
