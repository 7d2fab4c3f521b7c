"""The one GPU the backend uses: vorlan_cuda's default device, opened once."""

import functools

import vorlan_cuda

# What the project's software GPU (emulator/) reports as its device name.
SOFTWARE_GPU_NAME = "vorlan software GPU"


@functools.cache
def default_device():
    """GpuDevice(0), shared by every graph the backend converts."""
    return vorlan_cuda.GpuDevice(0)


@functools.cache
def on_software_gpu():
    return default_device().name == SOFTWARE_GPU_NAME
