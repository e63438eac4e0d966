# A pure Python package: no compile step. Kept as a plain setup.py so that
# pip builds it with the setuptools already installed (Debian's), offline.
from setuptools import setup

setup(
    name="zplr",
    version="3.0.4",
    description="The ZL telephone-line box from Python, over zPLR's C interface",
    packages=["zplr"],
    package_data={"zplr": ["py.typed", "*.so", "*.so.*", "*.dll", "*.dylib"]},
    python_requires=">=3.7",
)
