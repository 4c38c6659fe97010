"""Installs the kvtbasic package: pure Python, no compiler and no download needed.

There is deliberately no pyproject.toml: pip then builds with the setuptools
already installed (Debian's python3-setuptools) instead of fetching one, so
`pip install ./python` works without network access.
"""

from setuptools import setup

setup(
    name="kvtbasic",
    version="2.1.0.7",
    description="Fingerprint sensors, capture and templates through the KVTBasic library",
    long_description=open("README.md", encoding="utf-8").read(),
    long_description_content_type="text/markdown",
    packages=["kvtbasic"],
    package_data={"kvtbasic": ["py.typed"]},
    python_requires=">=3.9",
    extras_require={"numpy": ["numpy"]},
)
