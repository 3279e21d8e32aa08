"""zemvara: GPU image processing for Python, on CuPy arrays.

Images are height x width x channels CuPy arrays (channels last, blue-green-red
unless a function is asked for red-green-blue). The subpackages hold the I/O,
transform, layout and upscaling modules and the shared conversion helpers.
"""
