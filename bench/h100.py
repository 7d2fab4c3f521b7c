"""Published figures of the NVIDIA H100 SXM5 80 GB that the benchmarks'
floors rest on, each with where it comes from. Kept in one place, so that the
cost model (cost_model.py) and the bandwidth probe's nominal figures
(bandwidth.py) describe the same card."""

NAME = "H100 SXM"

# HBM3 peak: "GPU memory bandwidth 3.35TB/s", H100 SXM column of NVIDIA's
# H100 Tensor Core GPU data sheet.
HBM_BYTES_PER_SECOND = 3.35e12
HBM_SOURCE = "NVIDIA H100 Tensor Core GPU data sheet, H100 SXM: GPU memory bandwidth 3.35 TB/s"

# 132 SMs with 4 warp schedulers each, every scheduler issuing at most one
# warp instruction per cycle (NVIDIA H100 Tensor Core GPU Architecture
# whitepaper). The clock is the one the data sheet's 67 TFLOPS FP32 implies:
# 67e12 / (132 SMs x 128 FP32 lanes x 2 flops) = 1.98 GHz.
SMS = 132
SCHEDULERS_PER_SM = 4
CLOCK_HZ = 1.98e9

# 50 MB of L2 (architecture whitepaper). NVIDIA publishes no L2 bandwidth for
# H100; this is a third-party figure, for a full GH100 (144 SMs at 1755 MHz).
L2_BYTES = 50e6
L2_BYTES_PER_SECOND = 8.986e12
L2_SOURCE = (
    "third-party figure, not NVIDIA's: 'L2 cache bandwidth 8986 GB/s' for H100 (full GH100, 144 SMs "
    "at 1755 MHz), Table 3 of Ultrasonics Sonochemistry 99 (2023) 106546, doi:10.1016/j.ultsonch.2023.106546"
)

# Host links: PCIe Gen5 x16, 64 GB/s each way (data sheet).
PCIE_BYTES_PER_SECOND = 64e9
