"""Upscaling with a TensorRT engine: `EngineZoom`."""
