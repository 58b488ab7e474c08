"""Avidrift's flock from Python: the exact step of avidrift-sim, its measures and trajectories.

    import avidrift
    flock = avidrift.Flock(boids=2000, tasks=2, cohesionWeight=0.02)
    flock.step(100)
    flock.positions        # (2000, 3) float32, a read-only view of the flock's own array
    flock.metrics()["polarization"]
    series = flock.run(500, every=10, trajectory="flock.h5")
"""

import os

from avidrift._avidrift import METRICS, SETTINGS, __version__
from avidrift._avidrift import Flock as _Flock

__all__ = ["Flock", "METRICS", "SETTINGS", "find_preset", "__version__"]


def find_preset(name):
    """The world file of a preset: worlds/NAME.json in the working directory, else installed."""
    relative = os.path.join("worlds", name + ".json")
    installed = os.path.join(os.path.dirname(__file__), _avidrift_data(), relative)
    for path in (relative, os.path.normpath(installed)):
        if os.path.isfile(path):
            return path
    raise ValueError(f"no preset named '{name}' (no {relative} here or in "
                     f"{os.path.normpath(os.path.dirname(installed))})")


def _avidrift_data():
    from avidrift import _avidrift
    return _avidrift._DATA_FROM_PACKAGE


class Flock(_Flock):
    """A flock of boids stepped exactly as avidrift-sim steps it.

    Flock(boids=None, tasks=0, search="auto", preset=None, world=None, **parameters)
    places the flock as avidrift-sim does: the default parameters, then the world (a world
    file, or a preset's: worlds/NAME.json), then the parameters given by their --set names,
    then the boids (1000, or the world's count) on the knot. tasks=0 uses every processor;
    search is "auto", "all-pairs" or "grid" (all give the same flock, bit for bit).
    """

    __slots__ = ()

    def __init__(self, boids=None, tasks=0, search="auto", preset=None, world=None,
                 **parameters):
        if preset is not None and world is not None:
            raise TypeError("give a preset or a world, not both")
        if preset is not None:
            world = find_preset(preset)
        super().__init__(boids, tasks, search,
                         None if world is None else os.fspath(world), parameters)

    def run(self, steps, every=1, metrics=True, trajectory=None, dt=0.016, frame=False):
        """Steps the flock and records it at its current step and after every every-th step.

        Returns a dict of numpy arrays, one per column of avidrift-sim's metrics log (step and
        time alone when metrics is False), or a pandas DataFrame of them with frame=True.
        trajectory names an H5MD file that receives the same frames (positions, velocities,
        path parameters and, with metrics, the measures), flushed frame by frame.
        """
        columns = self._run(steps, every, metrics,
                            None if trajectory is None else os.fspath(trajectory), dt,
                            "avidrift (Python)")
        if frame:
            import pandas
            return pandas.DataFrame(columns)
        return columns

    def __repr__(self):
        return (f"avidrift.Flock(boids={self.boids}, tasks={self.tasks}, "
                f"search={self.search!r}, steps={self.steps})")
