# The merge driver's command line; it acts only when run as the main program.
import argparse as argparse
import logging as logging

from vornik_git.drivers import merge_files as merge_files
