"""Running a serialised TensorRT engine (an upscaling network) on single GPU frames."""

from typing import Any

import cupy as cp

class EngineZoom:
    """A TensorRT engine bound to reusable GPU buffers, run one frame at a time.

    Construction reads and deserialises the engine on `device_id`, prints its
    tensors, and calls `initialize`.
    """

    stream: cp.cuda.Stream
    d_inputs: dict[str, cp.ndarray]
    d_outputs: dict[str, cp.ndarray]
    input_tensor: str
    output_tensor: str
    input_buffer: cp.ndarray | None
    output_buffer: cp.ndarray | None
    last_input_shape: Any

    def __init__(self, model_path: str | None = None, model_bytes: bytes | None = None, device_id: int = 0) -> None:
        """Load an engine from `model_path` or from the serialised `model_bytes`.

        Raises:
            FileNotFoundError: `model_path` does not exist.
        """

    def initialize(self) -> None:
        """(Re)create the stream and one device buffer per engine tensor, and bind them."""

    def pre_process(self, input_frame: cp.ndarray) -> cp.ndarray:
        """Stage an interleaved BGR frame into the planar RGB float32 (1, 3, H, W) input buffer.

        Values are copied, not scaled. Returns the instance's reused buffer.
        """

    def post_process(self, output_frame: cp.ndarray) -> cp.ndarray:
        """Unstage the engine's planar RGB output into an interleaved BGR (H', W', 3) buffer.

        Returns the instance's reused buffer, in the engine output's element type.
        """

    def get(self, input_frame: cp.ndarray) -> cp.ndarray:
        """Run one frame through the engine: `pre_process`, inference, `post_process`.

        The result is the instance's output buffer itself: the next call
        overwrites it (copy it to keep it). Nothing is normalised: a 0..255
        frame gives a 0..255 result, a 0..1 frame a 0..1 result.
        """
