"""Steps a flock, reads its positions without a copy and plots its polarization over time."""

import sys

import matplotlib.pyplot as plt

import avidrift

boids, steps = (int(value) for value in sys.argv[1:3]) if len(sys.argv) > 2 else (2000, 500)
flock = avidrift.Flock(boids=boids, trefoilKnotPathWeight=0)
positions = flock.positions          # a view of the flock's own array: it follows every step
series = flock.run(steps, every=10)  # the measures at step 0 and every 10th step
print("centre now:", positions.mean(axis=0))
plt.plot(series["time"], series["polarization"])
plt.xlabel("time (s)")
plt.ylabel("polarization")
plt.savefig("polarization.png")
