"""The README's phase diagram (polarization over separation and cohesion weight) from Python.

    python3 examples/phase_diagram.py [--boids 2000] [--steps 1000] [--every 10]
                                      [--separations 8] [--cohesions 7] [--out phase.png]

Each flock runs with the knot's pull off; a cell is the mean polarization over the last fifth of
its rows, as avidrift-sweep's summary takes polarization_mean.
"""

import argparse

import matplotlib.pyplot as plt
import numpy as np

import avidrift


def mean_of_last_fifth(column):
    return column[-max(1, len(column) // 5):].mean()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--boids", type=int, default=2000)
    parser.add_argument("--steps", type=int, default=1000)
    parser.add_argument("--every", type=int, default=10)
    parser.add_argument("--separations", type=int, default=8)
    parser.add_argument("--cohesions", type=int, default=7)
    parser.add_argument("--out", default="phase.png")
    arguments = parser.parse_args()

    separations = np.linspace(0, 5, arguments.separations)
    cohesions = np.linspace(0, 0.06, arguments.cohesions)
    polarization = np.empty((len(cohesions), len(separations)))
    for i, cohesion in enumerate(cohesions):
        for j, separation in enumerate(separations):
            flock = avidrift.Flock(boids=arguments.boids, trefoilKnotPathWeight=0,
                                   separationWeight=separation, cohesionWeight=cohesion)
            series = flock.run(arguments.steps, every=arguments.every)
            polarization[i, j] = mean_of_last_fifth(series["polarization"])
            print(f"separation {separation:.3g} cohesion {cohesion:.3g}: "
                  f"polarization {polarization[i, j]:.3f}", flush=True)

    plt.pcolormesh(separations, cohesions, polarization, shading="nearest", vmin=0, vmax=1)
    plt.colorbar(label="polarization (mean of the last fifth)")
    plt.xlabel("separationWeight")
    plt.ylabel("cohesionWeight")
    plt.savefig(arguments.out)


if __name__ == "__main__":
    main()
