"""The processing operations: each one's key (the command line's), the external module it
belongs to, and its parameters."""

from dataclasses import dataclass

from gemlo.processing import attributes, filters

ATTRIBUTES = "Processing/attributes"
FILTERS = "Processing/filters"


@dataclass(frozen=True)
class Param:
    name: str
    label: str
    unit: str
    default: float
    integer: bool = False


@dataclass(frozen=True)
class Operation:
    key: str
    title: str
    module: str
    make: object  # make(dz, ns, **params) -> kernel of a block of traces
    params: tuple = ()
    unit: str | None = None  # of the result; None: that of the input
    timed: bool = True  # needs the sample interval, in ms

    def kernel(self, meta, shape, **params):
        """The kernel for a cube of `shape` with `meta`; ValueError on bad parameters."""
        unknown = set(params) - {p.name for p in self.params}
        if unknown:
            raise ValueError(f"{self.key} takes no parameter {sorted(unknown)[0]!r}")
        values = {p.name: params.get(p.name, p.default) for p in self.params}
        if self.timed and meta.get("z_unit", "ms") != "ms":
            raise ValueError(
                f"{self.title.lower()} needs a cube sampled in time (ms), "
                f"not in {meta['z_unit']!r}"
            )
        dz = meta.get("dz")
        return self.make(None if dz is None else float(dz), shape[-1], **values)


WINDOW = Param("window", "Window", "ms", 100.0)
OPERATIONS = {
    op.key: op
    for op in (
        Operation("envelope", "Envelope", ATTRIBUTES, attributes.envelope, timed=False),
        Operation(
            "phase", "Instantaneous phase", ATTRIBUTES, attributes.phase, unit="rad", timed=False
        ),
        Operation(
            "frequency", "Instantaneous frequency", ATTRIBUTES, attributes.frequency, unit="Hz"
        ),
        Operation("rms", "RMS amplitude", ATTRIBUTES, attributes.rms, (WINDOW,)),
        Operation(
            "bandpass",
            "Band-pass filter",
            FILTERS,
            filters.bandpass,
            (
                Param("low", "Low corner", "Hz", 10.0),
                Param("high", "High corner", "Hz", 60.0),
                Param("order", "Order", "", 4, integer=True),
            ),
        ),
        Operation("agc", "Automatic gain control", FILTERS, filters.agc, (WINDOW,), unit=""),
    )
}
