#!/usr/bin/env cwl-runner
# Joins many dumps, one job a file, as the Snakemake workflow does.
cwlVersion: v1.2
class: Workflow
label: tagjoin many dumps
doc: |
  Joins each dump, gzipped or not, into NAME.joined with tagjoin.cwl,
  one job a file: the pipeline of the README (tagpick, which inflates
  and keeps the four kinds of line, then tagjoin), either's failure seen.  A file that fails
  leaves no NAME.joined, and the run's status is not 0.

requirements:
  ScatterFeatureRequirement: {}

inputs:
  dumps:
    type: File[]
    doc: the dumps or listings, gzipped when their names end in .gz
  prefilter:
    type: boolean
    default: true
    doc: keep only the lines that begin with rs, SNP, VAL or CTG
  drop_incomplete:
    type: boolean
    default: false
    doc: drop the records that have no CTG line, and count them
  tagjoin:
    type: string
    default: tagjoin
    doc: the tagjoin program, on PATH or as a path
  tagpick:
    type: string
    default: tagpick
    doc: the tagpick program, on PATH or as a path

outputs:
  joined:
    type: File[]
    outputSource: join/joined

steps:
  join:
    run: tagjoin.cwl
    scatter: listing
    in:
      listing: dumps
      prefilter: prefilter
      drop_incomplete: drop_incomplete
      tagjoin: tagjoin
      tagpick: tagpick
    out: [joined]
