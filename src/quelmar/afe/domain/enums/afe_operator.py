"""Stand-in for the product's ``AfeOperator`` enumeration.

The real class belongs to the surrounding feature-engineering product. The
native module ``data_frame_builder_helper`` reads ten members of it once, at
import, and of each member only ``value``, which must be an integer that fits
in 32 bits. Callers of ``execute`` build operator lists and column keys from
the same codes, so both sides must take them from this enumeration.
"""

import enum


class AfeOperator(enum.Enum):
    Density = 1
    Min = 2
    Max = 3
    Sum = 4
    Frequency = 5
    CountDistinct = 6
    Mode = 7
    TimeSinceFirst = 8
    TimeSinceLast = 9
    Ratio = 10
