"""The table of targets.  Adding a shell means adding its module and one
line here.  The first target leads: it holds every name, and the others
are written from its entries."""

from __future__ import annotations

from . import _csh, _elvish, _environment_d, _fish, _sh, _xonsh
from ._target import Target

TARGETS: tuple[Target, ...] = (
    _sh.TARGET,
    _fish.TARGET,
    _csh.TARGET,
    _xonsh.TARGET,
    _elvish.TARGET,
    _environment_d.TARGET,
)
LEAD = TARGETS[0]
