"""How big the inputs are and how long each measurement may take, for the
full run and for --quick."""
from dataclasses import dataclass

from .timing import Budget

KIB = 1024
MIB = 1024 * KIB


@dataclass(frozen=True)
class Settings:
    input_cap: int          # bytes kept of each real input; size of the generated signals
    random_size: int        # size of the incompressible input
    throughput: Budget      # per codec, input and direction
    call_cost: Budget       # per codec, size and direction
    call_cost_sizes: tuple[int, ...]
    memory_sizes: tuple[int, ...]
    matrix: Budget
    matrix_shapes: tuple[tuple[int, int], ...]


FULL = Settings(
    input_cap=5 * MIB // 4,  # above 1 MiB, where the throughput targets hold
    random_size=256 * KIB,
    throughput=Budget(seconds=1.0, min_runs=3, max_runs=25),
    call_cost=Budget(seconds=0.4, min_runs=5, max_runs=2000),
    call_cost_sizes=(64, KIB, 16 * KIB, 256 * KIB),
    memory_sizes=(KIB, MIB),
    matrix=Budget(seconds=1.0, min_runs=3, max_runs=50),
    matrix_shapes=((100, 100), (1000, 1000)),
)

QUICK = Settings(
    input_cap=256 * KIB,
    random_size=64 * KIB,
    throughput=Budget(seconds=0.2, min_runs=3, max_runs=10),
    call_cost=Budget(seconds=0.05, min_runs=3, max_runs=300),
    call_cost_sizes=FULL.call_cost_sizes,
    memory_sizes=(KIB, 256 * KIB),
    matrix=Budget(seconds=0.2, min_runs=3, max_runs=10),
    matrix_shapes=FULL.matrix_shapes,
)
